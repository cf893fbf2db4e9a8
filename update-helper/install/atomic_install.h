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
struct PreparedCandidate;

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
// transaction: a verified candidate bundle waiting in its staging folder beside the
// installed application, and the one exchange that puts it in the application's place.
// Destroying a transaction never touches the disk; its staging folder is removed only by
// stagingOwner().cleanup().
class AtomicInstall {
 public:
  // init(archive:target:version:parentPID:): inspects the installed application at `target`
  // and the archive, creates a staging folder beside the application and extracts the
  // verified candidate into it. A failed extraction removes the staging folder again and
  // throws the extraction's error.
  static std::unique_ptr<AtomicInstall> fromArchive(const std::filesystem::path& archive,
                                                    const std::filesystem::path& target, const std::string& version,
                                                    pid_t parentPID);
  // init(adopting:target:version:parentPID:): takes over the candidate that a background
  // preparation parked and re-proves it: the record against the request and the installed
  // application ("Prepared update does not match"), the staging folder's identity, the
  // parked folder ("Prepared update changed"), identity and version, the signature against
  // the installed application's requirement without its resources and the code-directory
  // hash ("Prepared update signature changed"), and last the inventory digest ("Prepared
  // update changed"). Once the staging folder is adopted, every failure removes it.
  static std::unique_ptr<AtomicInstall> adopting(const PreparedCandidate& record, const std::filesystem::path& target,
                                                 const std::string& version, pid_t parentPID);

  ~AtomicInstall();
  AtomicInstall(const AtomicInstall&) = delete;
  AtomicInstall& operator=(const AtomicInstall&) = delete;

  // The installed application bundle, links resolved: the path that is replaced and relaunched.
  const std::filesystem::path& target() const { return target_; }
  // The staging folder, equal to stagingOwner().directory().
  const std::filesystem::path& staging() const { return staging_; }
  UpdateStaging& stagingOwner() const { return *stagingOwner_; }
  // The candidate bundle inside the staging folder; after commit() the previous application.
  const std::filesystem::path& candidate() const { return candidate_; }
  // The desktop application's process, which must have exited before the exchange.
  pid_t parentPID() const { return parentPID_; }

  // Requires the application's exit, then exchanges candidate and target and flushes both
  // folders and the volume; the staging folder is marked replaced once the exchange is done.
  // When it throws, exchanged() tells whether the new bundle is already in place.
  void commit(bool parentExitObserved);
  // True once commit() has exchanged candidate and target, also when a flush after the
  // exchange then threw; false before commit() and when it threw before the exchange.
  bool exchanged() const noexcept { return exchanged_; }

  // Returns when `exitObserved`, or when signal 0 to `pid` fails with ESRCH; throws
  // "Application is still running" otherwise (pid 0 addresses this process's own group).
  static void requireParentExit(pid_t pid, bool exitObserved);
  // Exchanges the two entries atomically ("Atomic replacement failed" when that fails, and
  // nothing has changed), calls `didReplace` once, then flushes the candidate's folder, the
  // target's folder and the target's volume. A flush error is thrown with the exchange done.
  static void swap(const std::filesystem::path& candidate, const std::filesystem::path& target,
                   const std::function<void()>& didReplace = {});

  // Free space that must remain beyond the size of the extracted update.
  static constexpr uint64_t kSpaceReserve = 1ull << 30;

  // Runs `executable` with `arguments` to completion and returns its standard output.
  // Throws "Update preparation failed" for a non-zero status or output that is not UTF-8,
  // InstallFailure::cancelled() once cancelled, or the launch error (errno). The runner
  // itself is runChild() of staging/child_processes.h.
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

  // Durable flushes and volume checks.
  static void syncFile(const std::string& path);
  static void syncVolume(const std::string& path);
  static void requireAPFS(const std::filesystem::path& path);
  static void requireSpace(const std::filesystem::path& on, uint64_t bytes);

 private:
  AtomicInstall(std::filesystem::path target, pid_t parentPID);
  // Takes ownership of the staging folder.
  void own(std::unique_ptr<UpdateStaging> staging);

  std::filesystem::path target_;
  std::filesystem::path staging_;
  std::unique_ptr<UpdateStaging> stagingOwner_;
  std::filesystem::path candidate_;
  pid_t parentPID_ = 0;
  bool exchanged_ = false;
};

}  // namespace mirelo
