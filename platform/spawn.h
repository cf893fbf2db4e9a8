#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace mirelo {

// One child process started with posix_spawn. It holds a pidfd until it is reaped, so a
// terminate request can never reach an unrelated process that reused the pid.
class SpawnedProcess {
 public:
  // Starts `executable` (an absolute path; no search, no shell) with `arguments` after the
  // program name. Standard output goes to `stdoutFd`, standard error to /dev/null; standard
  // input, the environment and the working directory are inherited. In the child the signal
  // mask is empty and SIGTERM, SIGINT and SIGPIPE are back at their default action, whatever
  // the caller blocked or ignored. Throws std::system_error with the launch errno.
  static SpawnedProcess start(const std::string& executable, const std::vector<std::string>& arguments,
                              int stdoutFd);

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

}  // namespace mirelo
