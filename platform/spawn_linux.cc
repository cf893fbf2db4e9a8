#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_error.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace mirelo {
namespace {

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// RAII for the two posix_spawn attribute objects, so every early exit destroys them.
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
};

}  // namespace

SpawnedProcess SpawnedProcess::start(const std::string& executable, const std::vector<std::string>& arguments,
                                     int stdoutFd) {
  SpawnSetup setup;
  int rc = posix_spawn_file_actions_adddup2(&setup.actions, stdoutFd, STDOUT_FILENO);
  if (rc == 0) {
    rc = posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (rc != 0) throwErrno(rc, "posix_spawn_file_actions");

  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&setup.attributes, &empty);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (rc != 0) throwErrno(rc, "posix_spawn");

  // The child cannot be reaped by anyone but us, so its pid is still ours to open.
  UniqueFd pidfd(pidfdOpen(pid));
  if (!pidfd) {
    int error = errno;
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throwErrno(error, "pidfd_open");
  }
  return SpawnedProcess(pid, std::move(pidfd));
}

void SpawnedProcess::sendSignal(int signal) const noexcept {
  if (pidfd_) ::syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0);
}

int SpawnedProcess::wait() {
  if (reaped_) throwErrno(ECHILD, "waitid");
  siginfo_t info{};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, WEXITED) != 0) {
    if (errno != EINTR) throwErrno("waitid");
  }
  reaped_ = true;
  if (info.si_code == CLD_EXITED) return info.si_status;
  return 128 + info.si_status;
}

}  // namespace mirelo
