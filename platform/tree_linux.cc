#include "platform/tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_error.h"

namespace mirelo {

UniqueFd openFolder(const std::string& path, bool followFinalLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followFinalLink ? 0 : O_NOFOLLOW);
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) throwErrno("open");
  return fd;
}

UniqueFd openBeneath(int folderFd, std::string_view relative, int flags) {
  UniqueFd current;
  int at = folderFd;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    std::string component(relative.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                                                 : slash - start));
    if (component.empty() || component == "." || component == "..") throwErrno(EINVAL, "openat");
    bool last = slash == std::string_view::npos;
    int componentFlags = last ? (flags | O_NOFOLLOW | O_CLOEXEC) : (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    UniqueFd next(::openat(at, component.c_str(), componentFlags));
    if (!next) throwErrno("openat");
    if (last) return next;
    current = std::move(next);
    at = current.get();
    start = slash + 1;
  }
}

std::string readAll(int fd, size_t limit) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (bytes.size() + static_cast<size_t>(n) > limit) throwErrno(EFBIG, "read");
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return bytes;
    } else if (errno != EINTR) {
      throwErrno("read");
    }
  }
}

TreeWalk::TreeWalk(UniqueFd root, bool skipUnreadableFolders) : skipUnreadable_(skipUnreadableFolders) {
  DIR* dir = ::fdopendir(root.get());
  if (dir == nullptr) throwErrno("fdopendir");
  root.release();
  // The descriptor may share its position with another one (a dup); start from the top.
  ::rewinddir(dir);
  stack_.push_back(Level{std::unique_ptr<DIR, CloseDir>(dir), std::string()});
}

TreeWalk::~TreeWalk() = default;

bool TreeWalk::push(UniqueFd folder, std::string prefix) {
  DIR* dir = ::fdopendir(folder.get());
  if (dir == nullptr) return false;
  folder.release();
  stack_.push_back(Level{std::unique_ptr<DIR, CloseDir>(dir), std::move(prefix)});
  return true;
}

const WalkEntry* TreeWalk::next() {
  if (descend_) {
    descend_ = false;
    UniqueFd folder(::openat(entry_.parentFd, entry_.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int error = folder ? 0 : errno;
    if (folder && !push(std::move(folder), entry_.path + "/")) error = errno;
    if (error != 0 && !skipUnreadable_) throwErrno(error, "opendir");
  }
  while (!stack_.empty()) {
    Level& top = stack_.back();
    errno = 0;
    struct dirent* item = ::readdir(top.dir.get());
    if (item == nullptr) {
      int error = errno;
      stack_.pop_back();
      if (error != 0 && !(skipUnreadable_ && !stack_.empty())) throwErrno(error, "readdir");
      continue;
    }
    const char* name = item->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    entry_.path.assign(top.prefix).append(name);
    entry_.name = name;
    entry_.parentFd = ::dirfd(top.dir.get());
    entry_.statError = ::fstatat(entry_.parentFd, name, &entry_.status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    descend_ = entry_.isDirectory();
    return &entry_;
  }
  return nullptr;
}

}  // namespace mirelo
