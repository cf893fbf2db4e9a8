#pragma once

// Vetting of an update archive before anything is extracted (archive_inspection.cc says what
// the listing tools print and what the vetting relies on).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace mirelo {

// Which archive file was inspected, so that extraction can insist on the very same one.
struct ArchiveFingerprint {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNanoseconds = 0;
  friend bool operator==(const ArchiveFingerprint&, const ArchiveFingerprint&) = default;
};

// What the inspection learnt beyond the bundle and its size, for extraction to hold the
// result against.
struct ArchiveListing {
  ArchiveFingerprint archive;
  // The names of the entries that the long listing shows as links, as listed.
  std::vector<std::string> links;
};

// What inspecting an update archive found: its one top-level ".app" folder and the sum of
// the uncompressed sizes that its entries declare: every entry, whatever its kind, and
// without wrapping (a total beyond 2^64 - 1 is refused). `listed` is set by the inspection;
// a value made without it gives extraction nothing to compare.
struct ArchiveContents {
  std::string bundle;
  uint64_t bytes = 0;
  std::optional<ArchiveListing> listed;
};

namespace install {

// The archive file, opened for the tools: it must be a regular file (opened without
// blocking, so a named pipe is refused instead of stalling) and is held open while the
// tools run. The tools are given `toolPath`, which names this open file, not whatever the
// archive's path names by then. Throws "Invalid update archive".
struct OpenedArchive {
  UniqueFd fd;
  std::string toolPath;
  ArchiveFingerprint fingerprint;
};
OpenedArchive openArchive(const std::filesystem::path& archive);

// AtomicInstall::inspectArchive: lists the archive with zipinfo, requires one bundle and
// safe entry names and links (path_validation.h), reads every link's target with unzip,
// and returns the bundle's name and byte total. Throws the rule's InstallFailure, the
// runner's failure or cancellation, or the launch error.
ArchiveContents inspectArchive(const std::filesystem::path& archive);

}  // namespace install
}  // namespace mirelo
