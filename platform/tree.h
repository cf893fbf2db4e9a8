#pragma once

// Walking and reading a folder tree without ever passing through a symbolic link: every
// folder is opened relative to its parent with O_NOFOLLOW | O_DIRECTORY, so a folder that
// is swapped for a link midway is refused instead of walked through.

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace mirelo {

// Opens a folder by path for walking (O_DIRECTORY, O_CLOEXEC). With `followFinalLink` false
// the path's last component must not be a link. Throws std::system_error.
UniqueFd openFolder(const std::string& path, bool followFinalLink);

// Opens `relative` (components joined by "/") below the folder `folderFd`, refusing a link in
// any component, the last one included (ELOOP). `flags` apply to the last component.
// Throws std::system_error.
UniqueFd openBeneath(int folderFd, std::string_view relative, int flags);

// Reads everything from `fd`; throws std::system_error, or EFBIG beyond `limit` bytes.
std::string readAll(int fd, size_t limit);

// One item reported by TreeWalk. Valid until the next call of next().
struct WalkEntry {
  std::string path;       // relative to the walked folder, components joined by "/"
  const char* name;       // the last component
  int parentFd;           // the open folder that holds the item
  struct stat status;     // lstat of the item (the link itself for a link)
  int statError;          // 0, or the errno of a failed lstat (status is then unset)

  bool isDirectory() const { return statError == 0 && S_ISDIR(status.st_mode); }
  bool isRegularFile() const { return statError == 0 && S_ISREG(status.st_mode); }
  bool isLink() const { return statError == 0 && S_ISLNK(status.st_mode); }
};

// Depth-first walk of everything below a folder (the folder itself is not reported), in
// the order the file system lists entries. Hidden entries are included; links are reported
// and never descended into.
class TreeWalk {
 public:
  // `skipUnreadableFolders`: a folder below the root that cannot be opened or listed is
  // passed over silently; otherwise next() throws its std::system_error.
  TreeWalk(UniqueFd root, bool skipUnreadableFolders);
  ~TreeWalk();
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  // The next item, or nullptr at the end. Throws std::system_error when the root or a
  // folder cannot be read and unreadable folders are not skipped.
  const WalkEntry* next();
  // Do not descend into the folder that next() reported last.
  void skipDescendants() { descend_ = false; }

 private:
  struct CloseDir {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
  };
  struct Level {
    std::unique_ptr<DIR, CloseDir> dir;
    std::string prefix;  // "" for the root, else the folder's relative path and "/"
  };

  bool push(UniqueFd folder, std::string prefix);

  std::vector<Level> stack_;
  WalkEntry entry_{};
  bool descend_ = false;
  bool skipUnreadable_;
};

}  // namespace mirelo
