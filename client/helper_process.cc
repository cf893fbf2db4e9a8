#include "client/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "client/client_error.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace mirelo::client {

namespace fs = std::filesystem;

namespace {

// Both posix_spawn attribute objects, destroyed on every way out.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

[[noreturn]] void cannotStart(const fs::path& helper, int error) {
  throw ClientError(ClientError::Kind::kHelperFailed,
                    "Cannot start the update helper " + helper.string() + ": " + std::strerror(error));
}

}  // namespace

HelperProcess HelperProcess::start(const fs::path& helper, const std::string& mode, const fs::path& directory,
                                   bool detached) {
  SpawnSetup setup;
  for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    const int rc = posix_spawn_file_actions_addopen(&setup.actions, stream, "/dev/null",
                                                    stream == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    if (rc != 0) cannotStart(helper, rc);
  }
  // The application may block or ignore signals of its own; the helper must start with the
  // defaults, or SIGTERM could not cancel it.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&setup.attributes, &empty);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&setup.attributes, flags);

  std::string program = helper.string(), modeText = mode, dirText = directory.string();
  std::vector<char*> argv = {program.data(), modeText.data(), dirText.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (rc != 0) cannotStart(helper, rc);
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    const int error = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    cannotStart(helper, error);
  }
  return HelperProcess(pid, std::move(pidfd));
}

HelperProcess::~HelperProcess() {
  if (pidfd_ && !status_) waitFor(std::chrono::milliseconds(0));
}

std::optional<int> HelperProcess::waitFor(std::chrono::milliseconds limit) {
  if (status_) return status_;
  if (!pidfd_) return std::nullopt;
  struct pollfd watch = {pidfd_.get(), POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    const int n = ::poll(&watch, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (n > 0) break;
    if (n == 0) return std::nullopt;
    if (errno != EINTR) return std::nullopt;
  }
  siginfo_t info {};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, WEXITED) != 0) {
    if (errno == EINTR) continue;
    // Someone else reaped it (an application that ignores SIGCHLD): its code is lost.
    status_ = 128 + SIGKILL;
    return status_;
  }
  status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  return status_;
}

int HelperProcess::wait() {
  for (;;) {
    if (auto code = waitFor(std::chrono::hours(1))) return *code;
  }
}

void HelperProcess::signal(int signal) const {
  if (pidfd_ && !status_) ::syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0);
}

int runHelper(const fs::path& helper, const std::string& mode, const fs::path& directory) {
  return HelperProcess::start(helper, mode, directory).wait();
}

}  // namespace mirelo::client
