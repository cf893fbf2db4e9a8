#pragma once

// A watch on the entries of one folder (inotify): entries created, removed or renamed into
// or out of it, and the folder itself moved or deleted. Changes of a file's content in
// place are not reported, with one exception: a file created since the last drain() is
// reported again when it is closed after writing, so that a reader who was woken by the
// creation of a file and found it still empty learns when its content has arrived.

#include <string>
#include <unordered_set>

#include "platform/unique_fd.h"

namespace mirelo {

class FolderWatch {
 public:
  // Watches `path` (a link to a folder is followed). Throws the errno of inotify_init1 or
  // inotify_add_watch (ENOENT, ENOTDIR, EACCES, ...).
  static FolderWatch open(const std::string& path);

  FolderWatch(FolderWatch&&) noexcept = default;
  FolderWatch& operator=(FolderWatch&&) noexcept = default;

  // Readable whenever events are queued; for an event loop.
  int fd() const noexcept { return fd_.get(); }

  // Reads every queued event without blocking. True when at least one of them reports a
  // change of the folder's entries (as described above).
  bool drain();

 private:
  explicit FolderWatch(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
  // Names created since they were last closed after writing; bounded, so that a flood of
  // creations cannot grow it without limit.
  std::unordered_set<std::string> created_;
};

}  // namespace mirelo
