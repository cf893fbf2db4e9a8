#include "platform/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits.h>

#include "platform/errno_error.h"

namespace mirelo {
namespace {

constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr size_t kMaxRememberedCreations = 256;

}  // namespace

FolderWatch FolderWatch::open(const std::string& path) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) throwErrno("inotify_init1");
  if (::inotify_add_watch(fd.get(), path.c_str(), kEntryEvents | kSelfEvents | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
    throwErrno("inotify_add_watch");
  }
  return FolderWatch(std::move(fd));
}

bool FolderWatch::drain() {
  bool changed = false;
  alignas(struct inotify_event) char buffer[16 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
  for (;;) {
    const ssize_t length = ::read(fd_.get(), buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) break;  // EAGAIN: nothing more queued.
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      const std::string name = event->len > 0 ? std::string(event->name, ::strnlen(event->name, event->len)) : "";
      if (event->mask & (kSelfEvents | IN_Q_OVERFLOW)) {
        changed = true;
      } else if (event->mask & IN_CREATE) {
        changed = true;
        if (created_.size() < kMaxRememberedCreations) created_.insert(name);
      } else if (event->mask & (IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
        changed = true;
        created_.erase(name);
      } else if ((event->mask & IN_CLOSE_WRITE) && created_.erase(name) > 0) {
        changed = true;
      }
    }
  }
  return changed;
}

}  // namespace mirelo
