#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_error.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace mirelo {
namespace {

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool isArchiveToolVariable(const char* entry) {
  for (std::string_view name : kArchiveToolVariables) {
    if (std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=') return true;
  }
  return false;
}

// What the child does between fork and exec. Only async-signal-safe calls: the helper has
// other threads, whose locks may be held at the moment of the fork. Returns only on failure,
// with the errno to report.
int setUpChild(pid_t parent, const char* executable, char* const* argv, char* const* envp, int stdoutFd,
               int workingFolderFd) {
  // posix_spawn has no way to ask for this, which is why the child is set up by hand: the
  // child is killed when the thread that started it ends, and a parent that is already gone
  // (it died before the request took effect) is noticed right after.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return errno;
  if (::getppid() != parent) ::_exit(127);
  if (::setsid() < 0) return errno;

  // The folder first: a descriptor below 3 would be replaced by the standard streams.
  if (workingFolderFd >= 0 && ::fchdir(workingFolderFd) != 0) return errno;
  if (stdoutFd == STDOUT_FILENO) {
    if (::fcntl(stdoutFd, F_SETFD, 0) != 0) return errno;
  } else if (::dup2(stdoutFd, STDOUT_FILENO) < 0) {
    return errno;
  }
  for (int target : {STDIN_FILENO, STDERR_FILENO}) {
    int null = ::open("/dev/null", target == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null < 0) return errno;
    if (null != target) {
      if (::dup2(null, target) < 0) return errno;
      ::close(null);
    }
  }

  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGPIPE}) ::sigaction(signal, &defaultAction, nullptr);
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);

  ::execve(executable, argv, envp);
  return errno;
}

}  // namespace

SpawnedProcess SpawnedProcess::start(const std::string& executable, const std::vector<std::string>& arguments,
                                     int stdoutFd, int workingFolderFd) {
  // Everything the child needs is built before the fork: it must not allocate.
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!isArchiveToolVariable(*entry)) envp.push_back(*entry);
  }
  envp.push_back(nullptr);

  // The child reports a failed set-up or exec through this pipe; a successful exec closes
  // its end, and the parent reads end of file.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno("pipe2");
  UniqueFd reportRead(ends[0]);
  UniqueFd reportWrite(ends[1]);
  if (reportWrite.get() <= STDERR_FILENO) {
    // A helper started with a standard stream closed: keep the report clear of the three.
    reportWrite.reset(::fcntl(reportWrite.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!reportWrite) throwErrno("fcntl");
  }

  // No signal handler of the helper may run in the child before exec.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    int error = setUpChild(parent, executable.c_str(), argv.data(), envp.data(), stdoutFd, workingFolderFd);
    while (::write(reportWrite.get(), &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
  }
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) throwErrno(forkError, "fork");
  reportWrite.reset();

  auto reap = [pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  };
  int childError = 0;
  ssize_t n;
  while ((n = ::read(reportRead.get(), &childError, sizeof childError)) < 0 && errno == EINTR) {
  }
  if (n > 0) {
    reap();
    throwErrno(n == sizeof childError && childError != 0 ? childError : EIO, "execve");
  }

  // The child cannot be reaped by anyone but us, so its pid is still ours to open.
  UniqueFd pidfd(pidfdOpen(pid));
  if (!pidfd) {
    int error = errno;
    ::kill(pid, SIGKILL);
    reap();
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
