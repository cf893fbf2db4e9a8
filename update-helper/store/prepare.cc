// The background preparation of a prepared update: everything slow happens here, while the
// application keeps running, so that a later session only has to re-prove the candidate.
//
// At every moment either no staging folder of this preparation exists, or "claim.json" or
// "prepared.json" names it (except between the folder's creation and the rename of
// "claim.json" into place), and every failure removes what it created.

#include <unistd.h>

#include <exception>
#include <optional>
#include <string>

#include "platform/path_text.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {
namespace {

namespace stdfs = std::filesystem;

using path_text::withoutLastComponent;

// The installed bundle named by a request: the executable's path less three components
// (normally its own name, "MacOS" and "Contents"; the names are not examined).
stdfs::path installedBundle(const std::string& executable) {
  return withoutLastComponent(withoutLastComponent(withoutLastComponent(executable)));
}

void throwIfCancelled() { ChildProcesses::shared().checkCancelled(); }

}  // namespace

PreparedCandidate PreparedStore::prepare(const PrepareRequest& request) {
  discard();

  const InstalledApplication installed = AtomicInstall::inspectInstalled(installedBundle(request.executable));
  const stdfs::path archive = request.archive;
  const ArchiveContents contents = AtomicInstall::inspectArchive(archive);
  AtomicInstall::requireSpace(installed.parent, contents.bytes);
  throwIfCancelled();

  UpdateStaging staging(installed.parent);
  const Claim claim{staging.directory().string(), static_cast<int64_t>(staging.device()), staging.inode()};
  try {
    write(claim, claimPath());

    const stdfs::path candidate = AtomicInstall::extract(archive, contents, staging, installed, request.version);
    throwIfCancelled();

    const std::string inventory = AtomicInstall::inventory(candidate);
    const std::string cdhash = install::inspectCodeHash(candidate);

    const uint64_t candidateInode = park(candidate, staging.directory());
    AtomicInstall::syncFile(staging.directory().string());

    PreparedCandidate record;
    record.schema = 1;
    record.version = request.version;
    record.tag = request.tag;
    record.target = installed.bundle.string();
    record.staging = claim.staging;
    record.stagingDevice = claim.stagingDevice;
    record.stagingInode = claim.stagingInode;
    record.bundle = contents.bundle;
    record.candidateInode = candidateInode;
    record.inventory = inventory;
    record.cdhash = cdhash;
    write(record, recordPath());
    ::unlink(claimPath().c_str());
    return record;
  } catch (...) {
    // The folder goes first; "claim.json" stays when it could not be removed, so that a
    // later discard can try again. The clean-up's own error never replaces the original.
    try {
      staging.cleanup(false);
      ::unlink(claimPath().c_str());
    } catch (...) {
    }
    throw;
  }
}

}  // namespace mirelo
