#include "update-helper/control/adopt_prepared.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <exception>
#include <optional>

#include "platform/fs.h"
#include "update-helper/control/failure_reason.h"
#include "update-helper/eventlog/event_log.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {

std::unique_ptr<AtomicInstall> adoptPrepared(const PreparedStore& store, const std::filesystem::path& sessionDirectory,
                                             const std::filesystem::path& target, const std::string& version,
                                             pid_t pid) {
  std::optional<UniqueFd> lock = store.waitUntilIdle();
  if (!lock) return nullptr;
  // Released before the descriptor closes, on every way out of this function.
  struct Unlock {
    int fd;
    ~Unlock() { ::flock(fd, LOCK_UN); }
  } unlock{lock->get()};

  const std::optional<PreparedCandidate> candidate = store.claim(sessionDirectory);
  if (!candidate) return nullptr;
  try {
    return AtomicInstall::adopting(*candidate, target, version, pid);
  } catch (...) {
    // A stopped session does not fall back to the archive; it hands back at once.
    if (ChildProcesses::shared().isCancelled()) throw;
    noteOutcome("update-prepared-fallback", version, "adopting", failureReason(std::current_exception()));
    return nullptr;
  }
}

bool isOwnWorkDirectory(const std::filesystem::path& preparationDirectory, int heldLock) noexcept {
  try {
    struct stat held {};
    if (::fstat(heldLock, &held) != 0) return false;
    struct stat other {};
    if (fs::lstatPath((preparationDirectory / "active.lock").string(), &other) != 0) return false;
    return held.st_dev == other.st_dev && held.st_ino == other.st_ino;
  } catch (...) {
    return false;
  }
}

}  // namespace mirelo
