#include "platform/priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mirelo {
namespace {

constexpr int kNiceness = 10;
// ioprio_set(2) has no libc wrapper; these are the values of linux/ioprio.h.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

}  // namespace

void lowerPriorityOfThisThread() noexcept {
  // Who 0 is the calling thread for both calls: Linux keeps nice and I/O priority per thread.
  ::setpriority(PRIO_PROCESS, 0, kNiceness);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
}

}  // namespace mirelo
