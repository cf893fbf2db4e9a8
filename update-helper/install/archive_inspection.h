#pragma once

// Vetting of an update archive before anything is extracted (archive_inspection.cc says what
// the listing tools print and what the vetting relies on).

#include <cstdint>
#include <filesystem>
#include <string>

namespace mirelo {

// What inspecting an update archive found: its one top-level ".app" folder and the sum of
// the uncompressed sizes of its regular files (modulo 2^64).
struct ArchiveContents {
  std::string bundle;
  uint64_t bytes = 0;
};

namespace install {

// AtomicInstall::inspectArchive: lists the archive with zipinfo, requires one bundle and
// safe entry names and links (path_validation.h), reads every link's target with unzip,
// and returns the bundle's name and byte total. Throws the rule's InstallFailure, the
// runner's failure or cancellation, or the launch error.
ArchiveContents inspectArchive(const std::filesystem::path& archive);

}  // namespace install
}  // namespace mirelo
