#pragma once

// One run of the update helper, started the way the desktop application starts it: exactly a
// mode and a work directory, standard streams on /dev/null, a clean signal state. The run
// is watched through a pidfd, so that a signal can never reach an unrelated process that
// reused the pid.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace mirelo::client {

class HelperProcess {
 public:
  // `detached` puts the helper in a session of its own, for a run that must outlive the
  // application (the foreground session): a hang-up of the application's terminal or process
  // group must not reach it. Throws ClientError (kHelperFailed) when it cannot be started.
  static HelperProcess start(const std::filesystem::path& helper, const std::string& mode,
                             const std::filesystem::path& directory, bool detached = false);

  HelperProcess(HelperProcess&&) noexcept = default;
  HelperProcess& operator=(HelperProcess&&) noexcept = default;
  ~HelperProcess();  // reaps the run if it has ended; a running helper is left running

  pid_t pid() const { return pid_; }

  // Waits at most `limit` for the end; returns the exit code (128 + signal for a run killed
  // by a signal), or nothing while it still runs.
  std::optional<int> waitFor(std::chrono::milliseconds limit);
  int wait();
  // Sends `signal` unless the run has already been reaped.
  void signal(int signal) const;

 private:
  HelperProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  std::optional<int> status_;
};

// The helper's exit code for a run; throws ClientError (kHelperFailed) when it could not run.
int runHelper(const std::filesystem::path& helper, const std::string& mode, const std::filesystem::path& directory);

}  // namespace mirelo::client
