#pragma once

// A watch for the exit of a process that need not be our child (a pidfd). The descriptor
// refers to the process itself, not to its number, so a pid reused by a new process after
// the watched one has gone is never mistaken for it.

#include <sys/types.h>

#include "platform/unique_fd.h"

namespace mirelo {

class ProcessExitWatch {
 public:
  // Watches the process `pid` now has. Throws the errno of pidfd_open: ESRCH when no such
  // process exists, EINVAL for a pid that is not positive.
  static ProcessExitWatch open(pid_t pid);

  // Readable once the process has exited; for an event loop.
  int fd() const noexcept { return fd_.get(); }

  // Whether the process has exited (also when it has not been reaped yet).
  bool exited() const noexcept;

 private:
  explicit ProcessExitWatch(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace mirelo
