#include "platform/process_exit_watch.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_error.h"

namespace mirelo {

ProcessExitWatch ProcessExitWatch::open(pid_t pid) {
  // pidfd_open refuses 0 and negative numbers itself, but a negative pid_t would first be
  // widened into a large positive long; refuse them here.
  if (pid <= 0) throwErrno(EINVAL, "pidfd_open");
  // The descriptor is close-on-exec by definition.
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) throwErrno("pidfd_open");
  return ProcessExitWatch(UniqueFd(static_cast<int>(fd)));
}

bool ProcessExitWatch::exited() const noexcept {
  struct pollfd entry = {fd_.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
}

}  // namespace mirelo
