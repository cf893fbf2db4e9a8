// mirelo-update-helper MODE DIRECTORY: the executable.
//
// The desktop application polls `--probe`, so the executable answers it with nothing but
// the C library: it links no other library, and the dynamic loader has nothing to relocate
// before main. Every other mode is handed, with the whole command line, to the core module
// beside the executable (update-helper/control/core_entry.h), which loads the libraries
// only then. No C++ library call is made here, so the C++ runtime is not linked either.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/unique_fd.h"
#include "update-helper/control/core_entry.h"

namespace {

// Exit code for every failure of the command line or the lock file, and for a core that
// cannot be loaded.
constexpr int kUsageOrLockFailure = 2;

// Exit 0 when another process holds the work directory's lock, 1 when it was free (the
// probe then holds it itself until it exits), 2 for any other failure.
int probe(const char* directory) {
  // The lock path is the directory followed by "/active.lock", exactly as given.
  static constexpr char kLockName[] = "/active.lock";
  const size_t length = std::strlen(directory);
  std::unique_ptr<char, decltype(&std::free)> lockPath(
      static_cast<char*>(std::malloc(length + sizeof kLockName)), &std::free);
  if (!lockPath) return kUsageOrLockFailure;
  std::memcpy(lockPath.get(), directory, length);
  std::memcpy(lockPath.get() + length, kLockName, sizeof kLockName);

  mirelo::UniqueFd fd(::open(lockPath.get(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return kUsageOrLockFailure;
  const bool acquired = ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  const int lockError = errno;
  if (acquired) return 1;
  return lockError == EWOULDBLOCK ? 0 : kUsageOrLockFailure;
}

// Loads the core from the folder of this executable (never through a search path) and
// runs it. The module stays loaded until the process exits.
int runCore(int argc, char** argv) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return kUsageOrLockFailure;
  path[length] = '\0';
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return kUsageOrLockFailure;
  const size_t folderLength = static_cast<size_t>(slash + 1 - path);
  if (folderLength + sizeof mirelo::kCoreFileName > sizeof path) return kUsageOrLockFailure;
  std::memcpy(slash + 1, mirelo::kCoreFileName, sizeof mirelo::kCoreFileName);

  void* core = ::dlopen(path, RTLD_LAZY | RTLD_LOCAL);
  if (core == nullptr) return kUsageOrLockFailure;
  auto* entry = reinterpret_cast<mirelo::CoreEntry*>(::dlsym(core, mirelo::kCoreEntryName));
  if (entry == nullptr) return kUsageOrLockFailure;
  return entry(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return kUsageOrLockFailure;
  if (std::strcmp(argv[1], "--probe") == 0) return probe(argv[2]);
  return runCore(argc, argv);
}
