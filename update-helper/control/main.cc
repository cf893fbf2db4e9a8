// The entry of the update helper's core module, for every mode but `--probe`, which the
// executable answers itself (update-helper/control/launcher.cc).
//
// Takes the work directory's instance lock and then runs a background preparation or
// discard, or hosts the foreground update session. Its only results are the exit code and
// the files it writes; it prints nothing.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "update-helper/common/helper_process.h"
#include "update-helper/control/core_entry.h"
#include "update-helper/control/preparation_termination.h"
#include "update-helper/control/run_preparation.h"
#include "update-helper/control/update_window.h"

namespace {

// Exit code for every failure of the command line or the lock file.
constexpr int kUsageOrLockFailure = 2;

}  // namespace

// The launcher finds the entry by this name.
static_assert(std::string_view(mirelo::kCoreEntryName) == "mireloUpdateHelperMain");

extern "C" [[gnu::visibility("default")]] int mireloUpdateHelperMain(int argc, char** argv) {
  if (argc != 3) return kUsageOrLockFailure;

  const std::string mode = argv[1];
  mirelo::HelperProcess& process = mirelo::helperProcess();
  process.directory = argv[2];

  // A preparation that SIGTERM could not cancel is not started (no thread could be made).
  if (mode == "--prepare" && !mirelo::installPreparationTermination()) return kUsageOrLockFailure;

  const std::string lockPath = process.directory + "/active.lock";
  // Close-on-exec so that no child (least of all a relaunched application) inherits the lock.
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return kUsageOrLockFailure;
  process.fd = fd;

  const bool acquired = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  const int lockError = errno;

  if (mode == "--prepare" || mode == "--discard") {
    if (!acquired) return lockError == EWOULDBLOCK ? 3 : kUsageOrLockFailure;
    try {
      return mirelo::runPreparation(mode == "--discard");
    } catch (...) {
      return kUsageOrLockFailure;
    }
  }
  if (mode == "--run" && acquired) {
    const int code = mirelo::runForegroundSession();
    ::close(fd);
    return code;
  }
  // Any other mode, and "--run" without the lock.
  return kUsageOrLockFailure;
}
