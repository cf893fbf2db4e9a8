// mirelo-open -n BUNDLE
//
// Starts a new instance of the application bundle BUNDLE, even when one is running already:
// reads CFBundleExecutable from BUNDLE/Contents/Info.plist and executes
// BUNDLE/Contents/MacOS/<name> in a session of its own, with standard streams on /dev/null,
// an empty signal mask, every signal at its default action, the root folder as working
// directory, and no descriptor of its caller. The program is not waited for: it ends up
// as nobody's child but init's (or the nearest subreaper's), not the caller's.
//
// Exit status 0 once the program has been executed; 1 when the bundle, its Info.plist or
// its executable is missing or cannot be executed; 2 for a bad command line.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/property_list.h"

extern char** environ;

namespace {

// Marks every descriptor above the standard streams close-on-exec, so that nothing the
// caller left open (least of all a lock) reaches the application.
void closeInheritedDescriptorsOnExec() {
#ifdef SYS_close_range
  constexpr unsigned kCloseRangeCloexec = 1u << 2;
  if (::syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec) == 0) return;
#endif
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    if (fd > 2) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// A name that stays inside Contents/MacOS.
bool isSingleComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "mirelo-open: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-n") != 0) {
    std::fprintf(stderr, "usage: mirelo-open -n BUNDLE\n");
    return 2;
  }
  const std::filesystem::path bundle = argv[2];
  closeInheritedDescriptorsOnExec();

  const std::optional<mirelo::PropertyListDictionary> info = mirelo::PropertyListDictionary::readBundleInfo(bundle);
  if (!info) return fail("cannot read " + (bundle / "Contents/Info.plist").string());
  const std::optional<std::string> name = info->string("CFBundleExecutable");
  if (!name || !isSingleComponent(*name)) return fail("no usable CFBundleExecutable in " + bundle.string());
  const std::string executable = (bundle / "Contents" / "MacOS" / *name).string();

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawn_file_actions_addchdir_np(&actions, "/");

  sigset_t empty;
  sigemptyset(&empty);
  sigset_t every;
  sigfillset(&every);
  sigdelset(&every, SIGKILL);
  sigdelset(&every, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &every);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  char* arguments[] = {const_cast<char*>(executable.c_str()), nullptr};
  pid_t pid = -1;
  // posix_spawn reports a failed exec (missing, not executable, not a program) as its result.
  const int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return fail("cannot execute " + executable + ": " + std::strerror(error));
  return 0;
}
