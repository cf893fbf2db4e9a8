#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "update-helper/install/archive_inspection.h"
#include "update-helper/install/extraction.h"
#include "update-helper/install/identity.h"
#include "update-helper/install/inventory.h"
#include "update-helper/install/path_validation.h"
#include "update-helper/install/volume.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo {

class UpdateStaging;
struct PreparedCandidate;

// The install engine. Its static operations are the checks and tools that every stage of an
// update uses; each lives in the file of its concern and is documented there:
// archive_inspection.h and path_validation.h (vetting), identity.h (identity and
// signature), inventory.h, extraction.h, volume.h (durable flushes and volume checks) and
// staging/child_processes.h (running external tools). An instance is one install
// transaction (atomic_install.cc): a verified candidate bundle waiting in its staging folder beside the
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

  static constexpr uint64_t kSpaceReserve = install::kSpaceReserve;

  // Runs `executable` with `arguments` to completion and returns its standard output.
  static std::string run(const std::string& executable, const std::vector<std::string>& arguments) {
    return runChild(executable, arguments);
  }

  static ArchiveContents inspectArchive(const std::filesystem::path& archive) {
    return install::inspectArchive(archive);
  }
  static void validatePaths(const std::vector<std::string>& paths, const ArchiveLinks& links,
                            const std::string& root) {
    path_validation::validate(paths, links, root, path_validation::NameRules::kApply);
  }

  static InstalledApplication inspectInstalled(const std::filesystem::path& bundle) {
    return install::inspectInstalled(bundle);
  }
  static void requireIdentity(const std::filesystem::path& candidate, const InstalledApplication& installed,
                              const std::string& version) {
    install::requireIdentity(candidate, installed, version);
  }
  static std::string codeHash(const codesign::StaticCode& code) { return install::codeHash(code); }
  static void requireSignature(const std::filesystem::path& bundle, const codesign::Requirement& requirement,
                               const std::string& cdhash) {
    install::requireSignature(bundle, requirement, cdhash);
  }

  static std::string inventory(const std::filesystem::path& bundle,
                               install::InventoryCancellation cancellation = install::InventoryCancellation::kIgnored) {
    return install::inventory(bundle, cancellation);
  }

  static std::filesystem::path extract(const std::filesystem::path& archive, const ArchiveContents& contents,
                                       UpdateStaging& into, const InstalledApplication& installed,
                                       const std::string& version) {
    return install::extract(archive, contents, into, installed, version);
  }

  static void syncFile(const std::string& path) { install::syncFile(path); }
  static void syncVolume(const std::string& path) { install::syncVolume(path); }
  static void requireAPFS(const std::filesystem::path& path) { install::requireAPFS(path); }
  static void requireSpace(const std::filesystem::path& on, uint64_t bytes) { install::requireSpace(on, bytes); }

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
