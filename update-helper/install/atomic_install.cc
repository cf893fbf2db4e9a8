// The install transaction: a verified candidate waiting in its staging folder, built from an
// archive or by adopting a parked candidate, and the exchange that installs it.

#include "update-helper/install/atomic_install.h"

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

#include "platform/fs.h"
#include "platform/text.h"
#include "update-helper/install/install_messages.h"
#include "update-helper/install/prepared_candidate.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

const char kDoesNotMatch[] = "Prepared update does not match";
const char kChanged[] = "Prepared update changed";
const char kStillRunning[] = "Application is still running";
const char kReplacementFailed[] = "Atomic replacement failed";

constexpr std::string_view kBundleSuffix = ".app";
// ".app" alone is not a bundle name: at least one character must precede the suffix.
constexpr size_t kShortestBundleName = 5;

using text::canonicallyEqual;

// A name that can only name an entry directly inside the staging folder and ends in ".app",
// counted in user-perceived characters after composition.
bool isBundleName(const std::string& name) {
  const std::string composed = text::toNFC(name);
  if (composed.find('/') != std::string::npos) return false;
  if (composed.size() < kBundleSuffix.size() ||
      composed.compare(composed.size() - kBundleSuffix.size(), kBundleSuffix.size(), kBundleSuffix) != 0) {
    return false;
  }
  return text::graphemeClusters(composed).size() >= kShortestBundleName;
}

bool fitsInt32(int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

// Adoption may be cancelled (SIGTERM, the session's deadline) between its steps and inside
// the inventory walk, so that a large bundle does not hold the session up.
void checkpoint() { ChildProcesses::shared().checkCancelled(); }

// The clean-up of a failed construction never replaces the error that ended it.
void discardQuietly(UpdateStaging& staging) noexcept {
  try {
    staging.cleanup(false);
  } catch (...) {
  }
}

}  // namespace

AtomicInstall::AtomicInstall(std::filesystem::path target, pid_t parentPID)
    : target_(std::move(target)), parentPID_(parentPID) {}

AtomicInstall::~AtomicInstall() = default;

void AtomicInstall::own(std::unique_ptr<UpdateStaging> staging) {
  stagingOwner_ = std::move(staging);
  staging_ = stagingOwner_->directory();
}

std::unique_ptr<AtomicInstall> AtomicInstall::fromArchive(const std::filesystem::path& archive,
                                                          const std::filesystem::path& target,
                                                          const std::string& version, pid_t parentPID) {
  const InstalledApplication installed = inspectInstalled(target);
  std::unique_ptr<AtomicInstall> transaction(new AtomicInstall(installed.bundle, parentPID));
  const ArchiveContents contents = inspectArchive(archive);
  transaction->own(std::make_unique<UpdateStaging>(installed.parent));
  try {
    transaction->candidate_ = extract(archive, contents, *transaction->stagingOwner_, installed, version);
  } catch (...) {
    discardQuietly(*transaction->stagingOwner_);
    throw;
  }
  return transaction;
}

std::unique_ptr<AtomicInstall> AtomicInstall::adopting(const PreparedCandidate& record,
                                                       const std::filesystem::path& target,
                                                       const std::string& version, pid_t parentPID) {
  // No checkpoint before the staging folder is adopted: a cancellation there would leave
  // the claimed folder on disk with no owner but the session's "adopted.json".
  const InstalledApplication installed = inspectInstalled(target);
  std::unique_ptr<AtomicInstall> transaction(new AtomicInstall(installed.bundle, parentPID));
  if (!fitsInt32(record.stagingDevice)) throw InstallFailure::invalid(kDoesNotMatch);
  // Name and identity are proven here; a folder that fails them is not ours to remove.
  transaction->own(std::make_unique<UpdateStaging>(std::filesystem::path(record.staging),
                                                   static_cast<int32_t>(record.stagingDevice),
                                                   record.stagingInode));
  UpdateStaging& owner = *transaction->stagingOwner_;
  const std::filesystem::path& staging = transaction->staging_;
  try {
    checkpoint();
    if (record.schema != 1 || !canonicallyEqual(record.version, version)) {
      throw InstallFailure::invalid(kDoesNotMatch);
    }
    if (!canonicallyEqual(record.target, installed.bundle.string())) throw InstallFailure::invalid(kDoesNotMatch);
    // The folder must sit directly beside the installed application.
    if (!canonicallyEqual(staging.parent_path().string(), installed.parent.string())) {
      throw InstallFailure::invalid(kDoesNotMatch);
    }
    if (!isBundleName(record.bundle)) throw InstallFailure::invalid(kDoesNotMatch);

    // Cheapest checks first; the inventory reads the whole tree and comes last.
    transaction->candidate_ = record.unpark(staging);
    const std::filesystem::path& candidate = transaction->candidate_;
    checkpoint();
    requireIdentity(candidate, installed, version);
    if (!installed.requirement) throw InstallFailure::invalid(install::kSignatureChangedMessage);
    checkpoint();
    requireSignature(candidate, *installed.requirement, record.cdhash);
    checkpoint();
    if (!canonicallyEqual(inventory(candidate, install::InventoryCancellation::kObserved), record.inventory)) {
      throw InstallFailure::invalid(kChanged);
    }
    checkpoint();

    // The unpark rename, then everything on the candidate's volume.
    syncFile(staging.string());
    syncVolume((candidate / "Contents/Info.plist").string());
  } catch (...) {
    discardQuietly(owner);
    throw;
  }
  return transaction;
}

void AtomicInstall::commit(bool parentExitObserved) {
  requireParentExit(parentPID_, parentExitObserved);
  UpdateStaging& owner = *stagingOwner_;
  swap(candidate_, target_, [this, &owner] {
    exchanged_ = true;
    owner.didReplace();
  });
}


void AtomicInstall::requireParentExit(pid_t pid, bool exitObserved) {
  if (exitObserved) return;
  // Only "no such process" proves the exit; EPERM means someone else's process has the id.
  if (::kill(pid, 0) == 0 || errno != ESRCH) throw InstallFailure::invalid(kStillRunning);
}

void AtomicInstall::swap(const std::filesystem::path& candidate, const std::filesystem::path& target,
                         const std::function<void()>& didReplace) {
  try {
    fs::renameExchange(candidate.string(), target.string());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid(kReplacementFailed);
  }
  if (didReplace) didReplace();
  // The staging folder now holds the previous application under the candidate's name.
  syncFile(candidate.parent_path().string());
  syncFile(target.parent_path().string());
  syncVolume((target / "Contents/Info.plist").string());
}

}  // namespace mirelo
