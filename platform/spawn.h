#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace mirelo {

// One child process, set up by hand between fork and exec. It holds a pidfd until it is
// reaped, so a terminate request can never reach an unrelated process that reused the pid.
class SpawnedProcess {
 public:
  // Starts `executable` (an absolute path; no search, no shell) with `arguments` after the
  // program name. Standard output goes to `stdoutFd`; standard input comes from /dev/null and
  // standard error goes there. The child starts in a session of its own, so it has no
  // controlling terminal and no tool can prompt on one; it gets SIGKILL as soon as the
  // thread that started it ends, so it never outlives the helper; the variables that change
  // what the archive tools do (kArchiveToolVariables) are removed from its environment, the
  // rest is inherited. Its signal mask is empty and SIGTERM, SIGINT and SIGPIPE are back at
  // their default action, whatever the caller blocked or ignored. With `workingFolderFd` set,
  // the child starts in that very folder (fchdir), whatever its path names by then; otherwise
  // it inherits the working directory. Throws std::system_error with the launch errno.
  static SpawnedProcess start(const std::string& executable, const std::vector<std::string>& arguments,
                              int stdoutFd, int workingFolderFd = -1);

  SpawnedProcess(SpawnedProcess&&) noexcept = default;
  SpawnedProcess& operator=(SpawnedProcess&&) noexcept = default;

  pid_t pid() const noexcept { return pid_; }

  // Sends `signal` through the pidfd. Harmless once the child has ended or been reaped.
  void sendSignal(int signal) const noexcept;

  // Blocks until the child has ended and reaps it. Returns the exit code for a normal exit
  // and 128 + the signal number for an end by a signal, so only a clean exit gives 0.
  int wait();

 private:
  SpawnedProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool reaped_ = false;
};

// Environment variables through which a caller could change the listing format or the
// extraction of unzip and zipinfo; no child ever sees them.
inline constexpr std::string_view kArchiveToolVariables[] = {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"};

}  // namespace mirelo
