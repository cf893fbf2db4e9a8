#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/errno_error.h"
#include "platform/path_text.h"
#include "platform/uuid.h"

namespace mirelo::fs {
namespace {

// A path with a NUL byte would be cut short by every system call and name something else.
void requireNoNul(const std::string& path, const char* operation) {
  if (path_text::hasNul(path)) throwErrno(EINVAL, operation);
}

using path_text::splitLastComponent;

// Opens the folder that holds `path` and checks that the last component can name an entry
// of its own (not "", "." or ".."), so that operations relative to it never leave it. With
// `pathOnly` the descriptor serves only as the base of *at calls, so the folder need not be
// readable; without it the folder can be flushed.
std::pair<UniqueFd, std::string> openContainingFolder(const std::string& path, bool pathOnly) {
  requireNoNul(path, "open");
  auto [folder, name] = splitLastComponent(path);
  if (name.empty() || name == "." || name == ".." || name == "/") throwErrno(EINVAL, "open");
  UniqueFd fd(::open(folder.c_str(), (pathOnly ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throwErrno("open");
  return {std::move(fd), std::move(name)};
}

// The names in the folder `fd`, without "." and "..". The folder's own offset is not moved.
std::vector<std::string> listFolder(int fd) {
  UniqueFd copy(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!copy) throwErrno("openat");
  DIR* dir = ::fdopendir(copy.get());
  if (dir == nullptr) throwErrno("fdopendir");
  copy.release();  // the DIR owns it now
  std::vector<std::string> names;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  if (error != 0) throwErrno(error, "readdir");
  return names;
}

// Opens the folder `name` in `parentFd` for emptying, without following a link, and fills
// in its status. A folder of the caller's own that denies its owner access (an archive can
// give any mode, 000 included) first gets full owner access back: the folder is pinned
// with an O_PATH descriptor, changed through that descriptor's /proc entry (which names
// the pinned folder itself, not whatever the name means by then), and only then opened for
// reading through the same descriptor. Folders of other users are left as they are.
// Before anything is changed, the pinned folder must have the identity `expected` (ESTALE
// otherwise) or lie on `device` (EXDEV otherwise: something is mounted there), when given.
// Sets errno and returns an invalid descriptor on failure.
UniqueFd openFolderForRemoval(int parentFd, const char* name, const std::optional<FileIdentity>& expected,
                              std::optional<dev_t> device, struct stat* status) {
  UniqueFd pinned(::openat(parentFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!pinned) return UniqueFd();
  if (::fstat(pinned.get(), status) != 0) return UniqueFd();
  if (expected && !(FileIdentity{status->st_dev, status->st_ino} == *expected)) {
    errno = ESTALE;
    return UniqueFd();
  }
  if (device && status->st_dev != *device) {
    errno = EXDEV;
    return UniqueFd();
  }
  if ((status->st_mode & S_IRWXU) != S_IRWXU && status->st_uid == ::geteuid()) {
    const std::string self = "/proc/self/fd/" + std::to_string(pinned.get());
    if (::chmod(self.c_str(), (status->st_mode & 07777) | S_IRWXU) == 0) status->st_mode |= S_IRWXU;
  }
  UniqueFd folder(::openat(pinned.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder;
}

}  // namespace

VolumeInfo inspectVolume(const std::string& path) {
  requireNoNul(path, "statfs");
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) throwErrno("statfs");
  VolumeInfo volume;
  volume.type = static_cast<int64_t>(info.f_type);
  volume.blockSize = static_cast<uint64_t>(info.f_frsize != 0 ? info.f_frsize : info.f_bsize);
  volume.blocksAvailable = static_cast<uint64_t>(info.f_bavail);
  return volume;
}

bool isAtomicExchangeVolume(int64_t type) {
  // The one table of volumes that can hold an update. ext2 and ext3 report the ext4 magic.
  static constexpr std::array<int64_t, 5> kAccepted = {
      EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, F2FS_SUPER_MAGIC, TMPFS_MAGIC,
  };
  for (int64_t accepted : kAccepted) {
    if (type == accepted) return true;
  }
  return false;
}

void flushVolume(int fd) {
  if (::syncfs(fd) != 0) throwErrno("syncfs");
}

void renameNoReplace(const std::string& from, const std::string& to) {
  requireNoNul(from, "renameat2");
  requireNoNul(to, "renameat2");
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) throwErrno("renameat2");
}

void renameExchange(const std::string& a, const std::string& b) {
  requireNoNul(a, "renameat2");
  requireNoNul(b, "renameat2");
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) throwErrno("renameat2");
}

int lstatPath(const std::string& path, struct stat* status) noexcept {
  if (path_text::hasNul(path)) return EINVAL;
  return ::lstat(path.c_str(), status) == 0 ? 0 : errno;
}

UniqueFd openNoFollow(const std::string& path) {
  requireNoNul(path, "open");
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) throwErrno("open");
  return fd;
}

std::string readSmallFile(const std::string& path, size_t limit) {
  requireNoNul(path, "lstat");
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) throwErrno("lstat");
  if (S_ISLNK(entry.st_mode)) throwErrno(ELOOP, "lstat");
  if (!S_ISREG(entry.st_mode)) throwErrno(EINVAL, "lstat");
  if (static_cast<uint64_t>(entry.st_size) > limit) throwErrno(EFBIG, "lstat");

  UniqueFd fd = openNoFollow(path);
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) throwErrno("fstat");
  if (!S_ISREG(opened.st_mode) || opened.st_ino != entry.st_ino || opened.st_dev != entry.st_dev) {
    throwErrno(EINVAL, "open");
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
    if (content.size() > limit) throwErrno(EFBIG, "read");
  }
  return content;
}

void removeTree(const std::string& path, const std::optional<FileIdentity>& expected) {
  auto [parent, name] = openContainingFolder(path, /*pathOnly=*/true);
  struct stat topStatus {};
  UniqueFd top = openFolderForRemoval(parent.get(), name.c_str(), expected, std::nullopt, &topStatus);
  if (!top) throwErrno("openat");
  const dev_t device = topStatus.st_dev;

  int firstError = 0;
  auto note = [&firstError](int error) {
    if (firstError == 0) firstError = error;
  };

  // One frame per open folder, deepest last; a frame's folder is removed from its parent
  // once all its names have been dealt with.
  struct Frame {
    UniqueFd fd;
    std::string name;
    std::vector<std::string> names;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  try {
    std::vector<std::string> names = listFolder(top.get());
    stack.push_back(Frame{std::move(top), name, std::move(names)});
  } catch (const std::system_error& error) {
    note(error.code().value());
  }

  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.names.size()) {
      const std::string done = std::move(frame.name);
      stack.pop_back();
      if (!stack.empty() && ::unlinkat(stack.back().fd.get(), done.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        note(errno);
      }
      continue;
    }
    const int folder = frame.fd.get();
    const std::string entry = frame.names[frame.next++];
    struct stat status {};
    if (::fstatat(folder, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) note(errno);
      continue;
    }
    if (!S_ISDIR(status.st_mode)) {
      if (::unlinkat(folder, entry.c_str(), 0) != 0 && errno != ENOENT) note(errno);
      continue;
    }
    // A folder on another device is something mounted here; its content belongs to
    // another volume and fails the removal with EXDEV.
    UniqueFd child = openFolderForRemoval(folder, entry.c_str(), std::nullopt, device, &status);
    if (!child) {
      const int error = errno;
      if (error == ENOTDIR || error == ELOOP) {
        // Replaced by a file or a link since it was examined: remove that entry itself.
        if (::unlinkat(folder, entry.c_str(), 0) != 0 && errno != ENOENT) note(errno);
      } else if (error != ENOENT) {
        note(error);
      }
      continue;
    }
    try {
      std::vector<std::string> names = listFolder(child.get());
      stack.push_back(Frame{std::move(child), entry, std::move(names)});
    } catch (const std::system_error& error) {
      note(error.code().value());
    }
  }

  if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0) note(errno);
  if (firstError != 0) throwErrno(firstError, "remove");
}

void writeFileAtomically(const std::string& path, std::string_view data, const AtomicWriteOptions& options) {
  using Step = AtomicWriteError::Step;
  auto fail = [](Step step, int error, const char* operation) { throw AtomicWriteError(step, error, operation); };

  // The folder serves only as the base of the *at calls here, so it need not be readable;
  // it is opened for reading only for its flush at the end.
  UniqueFd folder;
  std::string name;
  try {
    std::tie(folder, name) = openContainingFolder(path, /*pathOnly=*/true);
  } catch (const std::system_error& error) {
    fail(Step::kWrite, error.code().value(), "open");
  }
  const std::string temporary = options.temporaryPrefix.empty() ? "." + name + "." + randomUuidText() + ".tmp"
                                                                : options.temporaryPrefix + randomUuidText();
  UniqueFd file(
      ::openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options.mode));
  if (!file) fail(Step::kWrite, errno, "openat");
  try {
    if (options.exactMode && ::fchmod(file.get(), options.mode) != 0) fail(Step::kWrite, errno, "fchmod");
    size_t written = 0;
    while (written < data.size()) {
      const ssize_t n = ::write(file.get(), data.data() + written, data.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(Step::kWrite, errno, "write");
      }
      written += static_cast<size_t>(n);
    }
    if (::fsync(file.get()) != 0) fail(Step::kFlushFile, errno, "fsync");
    if (::close(file.release()) != 0) fail(Step::kWrite, errno, "close");
    if (::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
      fail(Step::kRename, errno, "renameat");
    }
  } catch (...) {
    // The temporary file is ours (O_EXCL) and incomplete: it must not stay behind.
    ::unlinkat(folder.get(), temporary.c_str(), 0);
    throw;
  }
  // Sync the rename, too. The folder is opened by its path for this, without following a
  // final link, as every file that is flushed.
  UniqueFd readable(
      ::open(splitLastComponent(path).first.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!readable) fail(Step::kOpenFolder, errno, "open");
  if (::fsync(readable.get()) != 0) fail(Step::kFlushFolder, errno, "fsync");
}

void writeFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  AtomicWriteOptions options;
  options.mode = mode;
  writeFileAtomically(path, data, options);
}

}  // namespace mirelo::fs
