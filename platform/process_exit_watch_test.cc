#include "platform/process_exit_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace mirelo {
namespace {

TEST(ProcessExitWatch, SeesTheExitOfAProcessBeforeAndAfterItIsReaped) {
  testing::BackgroundProcess child({"/bin/sleep", "60"});
  const ProcessExitWatch watch = ProcessExitWatch::open(child.pid());
  EXPECT_FALSE(watch.exited());
  ::kill(child.pid(), SIGKILL);
  struct pollfd entry = {watch.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 5000), 1);
  // Exited but not reaped yet: the pid still names a zombie, the watch already knows.
  EXPECT_EQ(::kill(child.pid(), 0), 0);
  EXPECT_TRUE(watch.exited());
  child.wait();
  EXPECT_TRUE(watch.exited());
}

TEST(ProcessExitWatch, WatchesAProcessThatIsNotOurChild) {
  // Our parent's parent outlives this test; its watch must not report an exit.
  const ProcessExitWatch watch = ProcessExitWatch::open(1);
  EXPECT_FALSE(watch.exited());
}

TEST(ProcessExitWatch, RefusesPidsThatNameNoProcess) {
  testing::BackgroundProcess child({"/bin/true"});
  const pid_t gone = child.pid();
  child.wait();
  const struct {
    pid_t pid;
    int error;
  } cases[] = {{gone, ESRCH}, {0, EINVAL}, {-1, EINVAL}, {-2147483647 - 1, EINVAL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pid);
    try {
      ProcessExitWatch::open(c.pid);
      ADD_FAILURE() << "opened";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), c.error);
    }
  }
}

}  // namespace
}  // namespace mirelo
