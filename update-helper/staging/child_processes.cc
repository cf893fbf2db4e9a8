#include "update-helper/staging/child_processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_error.h"
#include "platform/unique_fd.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

const char kFailedMessage[] = "Update preparation failed";

bool isValidUtf8(const std::string& bytes) {
  if (bytes.empty()) return true;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  // Pre-flighting with no buffer validates without converting.
  u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

}  // namespace

void ChildTask::launch() {
  process_.emplace(SpawnedProcess::start(executable_, arguments_, stdoutFd_, workingFolderFd_));
}

void ChildTask::kill() const noexcept {
  if (process_) process_->sendSignal(SIGKILL);
}

void ChildTask::terminate() const noexcept {
  if (process_) process_->sendSignal(SIGTERM);
}

int ChildTask::waitUntilExit() { return process_->wait(); }

ChildProcesses& ChildProcesses::shared() {
  // Never destroyed: the signal watcher may still call cancel() while the process exits.
  static ChildProcesses* const instance = new ChildProcesses();
  return *instance;
}

void ChildProcesses::start(const std::shared_ptr<ChildTask>& task) {
  std::lock_guard<std::mutex> guard(lock_);
  if (cancelled_) throw InstallFailure::cancelled();
  task->launch();
  current_ = task;
}

void ChildProcesses::finished(const std::shared_ptr<ChildTask>& task) {
  std::lock_guard<std::mutex> guard(lock_);
  if (current_ && current_.get() == task.get()) current_.reset();
}

void ChildProcesses::cancel() noexcept {
  std::shared_ptr<ChildTask> running;
  {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
    running = current_;
  }
  if (running) running->terminate();
}

bool ChildProcesses::isCancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

void ChildProcesses::checkCancelled() const {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(lock_);
    hook = checkpointForTesting_;
  }
  // Outside the lock: the hook may cancel.
  if (hook) hook();
  bool cancelled;
  {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled = cancelled_;
  }
  if (cancelled) throw InstallFailure::cancelled();
}

std::shared_ptr<ChildTask> ChildProcesses::currentForTesting() const {
  std::lock_guard<std::mutex> guard(lock_);
  return current_;
}

void ChildProcesses::setCheckpointForTesting(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(lock_);
  checkpointForTesting_ = std::move(hook);
}

void ChildProcesses::resetForTesting() {
  std::lock_guard<std::mutex> guard(lock_);
  cancelled_ = false;
  current_.reset();
  checkpointForTesting_ = nullptr;
}

std::string runChild(const std::string& executable, const std::vector<std::string>& arguments) {
  return runChild(executable, arguments, ChildOptions{});
}

std::string runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const ChildOptions& options) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno("pipe2");
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  auto task = std::make_shared<ChildTask>(executable, arguments, writeEnd.get(), options.workingFolderFd);
  ChildProcesses& registry = ChildProcesses::shared();
  registry.start(task);
  // Only the child may keep the write end open, or end of file would never come.
  writeEnd.reset();

  std::string output;
  bool readFailed = false;
  std::exception_ptr watchError;
  char buffer[65536];
  for (;;) {
    if (options.watch) {
      struct pollfd ready = {readEnd.get(), POLLIN, 0};
      int n = ::poll(&ready, 1, 100);
      if (n < 0 && errno != EINTR) {
        readFailed = true;
        break;
      }
      if (n <= 0) {
        try {
          options.watch();
        } catch (...) {
          watchError = std::current_exception();
          task->kill();
          break;
        }
        continue;
      }
    }
    ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      // The child still has to be reaped; its output is incomplete and is not used.
      readFailed = true;
      break;
    }
  }
  readEnd.reset();

  int status = -1;
  try {
    status = task->waitUntilExit();
  } catch (...) {
    registry.finished(task);
    throw;
  }
  registry.finished(task);
  if (watchError) std::rethrow_exception(watchError);
  if (status != 0 || readFailed || !isValidUtf8(output)) throw InstallFailure::invalid(kFailedMessage);
  return output;
}

}  // namespace mirelo
