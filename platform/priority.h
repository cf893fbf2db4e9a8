#pragma once

namespace mirelo {

// Background priority for the calling thread: nice 10 and the idle I/O scheduling class.
// On Linux both belong to the thread that sets them, not to the whole process, and every
// thread and child process started from it afterwards inherits them. Failures are ignored:
// a thread that keeps its priority still does its work correctly.
void lowerPriorityOfThisThread() noexcept;

}  // namespace mirelo
