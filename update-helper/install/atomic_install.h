#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace mirelo {

namespace codesign {
class StaticCode;
class Requirement;
}  // namespace codesign

class UpdateStaging;

// What inspecting an update archive found: its one top-level ".app" folder and the sum of
// the uncompressed sizes of its regular files (modulo 2^64).
struct ArchiveContents {
  std::string bundle;
  uint64_t bytes = 0;
};

// The installed application: its bundle (standardised, links resolved), the folder that
// holds it, its bundle identifier and its designated requirement. Copies share the
// requirement.
struct InstalledApplication {
  std::filesystem::path bundle;
  std::filesystem::path parent;
  std::string identifier;
  std::shared_ptr<const codesign::Requirement> requirement;
};

// Link entry names and their targets, as the archive listing found them.
using ArchiveLinks = std::vector<std::pair<std::string, std::string>>;

// The install engine. Its static operations are the checks and tools that every stage of an
// update uses (archive vetting, identity and signature, inventory, extraction, durable
// flushes and volume checks, running external tools); an instance is one install
// transaction.
class AtomicInstall {
 public:
  // Free space that must remain beyond the size of the extracted update.
  static constexpr uint64_t kSpaceReserve = 1ull << 30;

  // Runs `executable` with `arguments` to completion and returns its standard output.
  // Throws "Update preparation failed" for a non-zero status or output that is not UTF-8,
  // "Update preparation was cancelled" once cancelled, or the launch error (errno).
  static std::string run(const std::string& executable, const std::vector<std::string>& arguments);

  // Archive inspection and path validation.
  static ArchiveContents inspectArchive(const std::filesystem::path& archive);
  static void validatePaths(const std::vector<std::string>& paths, const ArchiveLinks& links,
                            const std::string& root);

  // Installed-application identity and code signature.
  static InstalledApplication inspectInstalled(const std::filesystem::path& bundle);
  static void requireIdentity(const std::filesystem::path& candidate, const InstalledApplication& installed,
                              const std::string& version);
  static std::string codeHash(const codesign::StaticCode& code);
  static void requireSignature(const std::filesystem::path& bundle, const codesign::Requirement& requirement,
                               const std::string& cdhash);

  // The digest of a bundle tree.
  static std::string inventory(const std::filesystem::path& bundle);

  // Extraction into staging; returns the verified, flushed candidate bundle.
  static std::filesystem::path extract(const std::filesystem::path& archive, const ArchiveContents& contents,
                                       UpdateStaging& into, const InstalledApplication& installed,
                                       const std::string& version);
  // Called at each cancellation checkpoint of extract(), just before the flag is read, so
  // that tests can count the checkpoints or cancel at one. Pass an empty function to remove.
  static void setExtractCheckpointForTesting(std::function<void()> hook);

  // Durable flushes and volume checks.
  static void syncFile(const std::string& path);
  static void syncVolume(const std::string& path);
  static void requireAPFS(const std::filesystem::path& path);
  static void requireSpace(const std::filesystem::path& on, uint64_t bytes);
};

}  // namespace mirelo
