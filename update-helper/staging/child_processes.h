#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/spawn.h"

namespace mirelo {

// One external tool, described completely before it is started.
class ChildTask {
 public:
  ChildTask(std::string executable, std::vector<std::string> arguments, int stdoutFd, int workingFolderFd = -1)
      : executable_(std::move(executable)),
        arguments_(std::move(arguments)),
        stdoutFd_(stdoutFd),
        workingFolderFd_(workingFolderFd) {}

  // Starts the process; throws std::system_error with the launch errno.
  void launch();
  // Asks the process to end with SIGTERM and returns at once.
  void terminate() const noexcept;
  // Ends the process with SIGKILL and returns at once.
  void kill() const noexcept;
  // Blocks until the process has ended; 0 only for a normal exit with code 0.
  int waitUntilExit();
  bool launched() const noexcept { return process_.has_value(); }
  pid_t pid() const noexcept { return process_ ? process_->pid() : -1; }

 private:
  std::string executable_;
  std::vector<std::string> arguments_;
  int stdoutFd_;
  int workingFolderFd_;
  std::optional<SpawnedProcess> process_;
};

// The process-wide registry of the one running child and the cancellation flag. A signal
// watcher calls cancel() from its own thread at any moment; the work thread starts children
// through start() and passes checkpoints with checkCancelled(). The flag, once set, stays set.
class ChildProcesses {
 public:
  static ChildProcesses& shared();

  ChildProcesses() = default;
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  // Tests the flag, launches and registers under one holding of the lock, so a child is
  // either refused or visible to cancel(). Throws InstallFailure::cancelled() when
  // cancelled, or the launch error (the slot is then left as it was).
  void start(const std::shared_ptr<ChildTask>& task);
  // Clears the slot if it still holds this very task.
  void finished(const std::shared_ptr<ChildTask>& task);
  // Sets the flag and asks the registered child, if any, to terminate. Never waits.
  void cancel() noexcept;
  bool isCancelled() const;
  // Throws InstallFailure::cancelled() when the flag is set.
  void checkCancelled() const;

  std::shared_ptr<ChildTask> currentForTesting() const;
  // Called by every checkCancelled(), just before the flag is read, so that tests can count
  // the checkpoints of an operation or cancel at one of them. Pass an empty function to remove.
  void setCheckpointForTesting(std::function<void()> hook);
  // Clears the flag, the slot and the checkpoint hook, so one test process can exercise
  // cancellation repeatedly.
  void resetForTesting();

 private:
  mutable std::mutex lock_;
  std::shared_ptr<ChildTask> current_;
  bool cancelled_ = false;
  std::function<void()> checkpointForTesting_;
};

// Runs `executable` with `arguments` (no shell) through ChildProcesses::shared() to
// completion and returns its standard output; standard error goes to the null device.
// Throws "Update preparation failed" for a non-zero status, an end by a signal or output
// that is not UTF-8, InstallFailure::cancelled() once cancelled (nothing is started), or
// the launch error with its errno. AtomicInstall::run is this runner.
std::string runChild(const std::string& executable, const std::vector<std::string>& arguments);

// How runChild may run a tool beyond the defaults.
struct ChildOptions {
  // The folder the tool starts in, by descriptor, so that the tool works in that very
  // folder even if its path is changed meanwhile; -1 for the helper's working directory.
  int workingFolderFd = -1;
  // Called about ten times a second while the tool runs. When it throws, the tool is
  // killed and reaped, and runChild throws that error.
  std::function<void()> watch;
};
std::string runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const ChildOptions& options);

}  // namespace mirelo
