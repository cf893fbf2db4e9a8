#include "platform/priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace mirelo {
namespace {

constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassIdle = 3;

// The I/O scheduling class of a thread (or of a process's main thread, by pid).
int ioClassOf(pid_t tid) {
  const long priority = ::syscall(SYS_ioprio_get, kIoprioWhoProcess, tid);
  return priority < 0 ? -1 : static_cast<int>(priority >> kIoprioClassShift);
}

struct Priority {
  int nice = 0;
  int ioClass = 0;
  std::string child;  // nice and I/O class of a child started from the thread, as it reads them
};

TEST(Priority, LowersTheCallingThreadAndWhatItStartsOnly) {
  const int mainNice = ::getpriority(PRIO_PROCESS, 0);
  const int mainIoClass = ioClassOf(::gettid());
  if (mainNice >= 10) GTEST_SKIP() << "this test already runs at nice " << mainNice;

  Priority lowered;
  std::thread([&] {
    lowerPriorityOfThisThread();
    lowered.nice = ::getpriority(PRIO_PROCESS, 0);
    lowered.ioClass = ioClassOf(::gettid());
    // A child reads both back for itself: field 19 of its stat line and its own I/O class.
    lowered.child =
        testing::runShell("cut -d' ' -f19 /proc/self/stat; ionice -p $$ 2>/dev/null || echo none").out;
  }).join();

  EXPECT_EQ(lowered.nice, 10);
  EXPECT_EQ(lowered.ioClass, kIoprioClassIdle);
  EXPECT_EQ(lowered.child.substr(0, 3), "10\n") << lowered.child;
  EXPECT_NE(lowered.child.find("idle"), std::string::npos) << lowered.child;
  // The thread that did not call it keeps its priority.
  EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), mainNice);
  EXPECT_EQ(ioClassOf(::gettid()), mainIoClass);
}

}  // namespace
}  // namespace mirelo
