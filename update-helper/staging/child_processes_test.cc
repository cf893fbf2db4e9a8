// The child runner against real child processes: output collection, exit statuses,
// launch errors, and cancellation that really ends the running tool.

#include "update-helper/staging/child_processes.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

using namespace std::chrono_literals;

class ChildRunner : public ::testing::Test {
 protected:
  void SetUp() override { ChildProcesses::shared().resetForTesting(); }
  void TearDown() override { ChildProcesses::shared().resetForTesting(); }

  static std::string failureOf(const std::string& executable, const std::vector<std::string>& arguments) {
    return testing::outcomeOf([&] { runChild(executable, arguments); });
  }

  // Waits until the registry holds a running child, and returns it.
  static std::shared_ptr<ChildTask> waitForChild() {
    for (int i = 0; i < 2000; ++i) {
      if (auto task = ChildProcesses::shared().currentForTesting()) return task;
      std::this_thread::sleep_for(5ms);
    }
    return nullptr;
  }
};

TEST_F(ChildRunner, ReturnsCompleteOutputOfCleanExit) {
  EXPECT_EQ(runChild("/bin/true", {}), "");
  EXPECT_EQ(runChild("/bin/echo", {"a  b", "c"}), "a  b c\n");
  // Several megabytes: the pipe is drained before waiting, so the child never blocks.
  const std::string big = runChild("/bin/sh", {"-c", "head -c 6000000 /dev/zero | tr '\\0' x"});
  EXPECT_EQ(big.size(), 6000000u);
  EXPECT_EQ(big.find_first_not_of('x'), std::string::npos);
  EXPECT_EQ(ChildProcesses::shared().currentForTesting(), nullptr);
}

TEST_F(ChildRunner, FailedStatusesAndBadOutputAreOneFailure) {
  const struct {
    const char* name;
    std::vector<std::string> script;
  } cases[] = {
      {"exit 1 after valid output", {"-c", "echo fine; exit 1"}},
      {"bytes that are not UTF-8", {"-c", "printf '\\377\\376ok'"}},
      {"ended by a signal", {"-c", "kill -KILL $$"}},
      {"error output only", {"-c", "echo oops >&2; exit 3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failureOf("/bin/sh", c.script), "Update preparation failed");
    EXPECT_EQ(ChildProcesses::shared().currentForTesting(), nullptr);
  }
}

TEST_F(ChildRunner, StandardErrorIsDiscardedAndUtf8IsKept) {
  EXPECT_EQ(runChild("/bin/sh", {"-c", "echo noise >&2; printf 'Gr\\303\\274\\303\\237e'"}), "Grüße");
}

TEST_F(ChildRunner, MissingExecutableIsALaunchErrorWithItsErrno) {
  try {
    runChild("/nonexistent/tool", {});
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
  EXPECT_EQ(ChildProcesses::shared().currentForTesting(), nullptr);
  EXPECT_FALSE(ChildProcesses::shared().isCancelled());
}

TEST_F(ChildRunner, ChildStartsWithEmptyMaskAndDefaultTermination) {
  // The helper blocks SIGTERM and may ignore SIGPIPE; its tools must not inherit either.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  struct sigaction ignore {}, oldPipe {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &oldPipe);

  const std::string status = runChild("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});

  sigaction(SIGPIPE, &oldPipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_NE(status.find("SigBlk:\t0000000000000000"), std::string::npos) << status;
  const auto ignored = std::stoull(status.substr(status.find("SigIgn:\t") + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGTERM - 1)), 0u) << status;
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << status;
}

TEST_F(ChildRunner, CancelBeforeStartRefusesEveryLaterChild) {
  testing::TempDir dir;
  const auto marker = dir / "started";
  ChildProcesses::shared().cancel();
  EXPECT_TRUE(ChildProcesses::shared().isCancelled());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(failureOf("/bin/sh", {"-c", "touch '" + marker.string() + "'"}), "cancelled");
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(testing::outcomeOf([] { ChildProcesses::shared().checkCancelled(); }), "cancelled");
}

TEST_F(ChildRunner, CancelEndsTheRunningChild) {
  auto result = std::async(std::launch::async, [] { return failureOf("/bin/sleep", {"30"}); });
  auto task = waitForChild();
  ASSERT_NE(task, nullptr);
  const pid_t pid = task->pid();
  const auto started = std::chrono::steady_clock::now();
  ChildProcesses::shared().cancel();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), "Update preparation failed");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(ChildProcesses::shared().isCancelled());
  EXPECT_EQ(ChildProcesses::shared().currentForTesting(), nullptr);
  // The child is gone and reaped, not merely signalled.
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_EQ(errno, ESRCH);
}

TEST_F(ChildRunner, EveryCancelSignalsTheRegisteredChildAgain) {
  testing::TempDir dir;
  const std::string count = (dir / "count").string();
  // The tool survives the first SIGTERM and leaves on the second.
  const std::string script = "n=0; trap 'n=$((n+1)); echo $n > " + count +
                             "; [ $n -ge 2 ] && exit 0' TERM; while :; do sleep 0.01; done";
  auto result = std::async(std::launch::async, [&] { return runChild("/bin/sh", {"-c", script}); });
  ASSERT_NE(waitForChild(), nullptr);
  std::this_thread::sleep_for(100ms);  // let the shell install its trap
  ChildProcesses::shared().cancel();
  for (int i = 0; i < 1000 && !std::filesystem::exists(count); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(testing::readFile(count), "1\n");
  ChildProcesses::shared().cancel();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), "");
  EXPECT_EQ(testing::readFile(count), "2\n");
  EXPECT_TRUE(ChildProcesses::shared().isCancelled());
}

TEST_F(ChildRunner, FinishedClearsOnlyItsOwnTask) {
  ChildProcesses registry;
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  auto running = std::make_shared<ChildTask>("/bin/sleep", std::vector<std::string>{"30"}, ends[1]);
  auto other = std::make_shared<ChildTask>("/bin/true", std::vector<std::string>{}, ends[1]);
  registry.start(running);
  registry.finished(other);
  EXPECT_EQ(registry.currentForTesting(), running);
  registry.finished(running);
  EXPECT_EQ(registry.currentForTesting(), nullptr);
  running->terminate();
  EXPECT_NE(running->waitUntilExit(), 0);
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST_F(ChildRunner, FailedLaunchLeavesTheSlotAsItWas) {
  ChildProcesses registry;
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  auto running = std::make_shared<ChildTask>("/bin/sleep", std::vector<std::string>{"30"}, ends[1]);
  registry.start(running);
  auto missing = std::make_shared<ChildTask>("/no/such/tool", std::vector<std::string>{}, ends[1]);
  EXPECT_THROW(registry.start(missing), std::system_error);
  EXPECT_EQ(registry.currentForTesting(), running);
  registry.cancel();
  EXPECT_NE(running->waitUntilExit(), 0);
  ::close(ends[0]);
  ::close(ends[1]);
}

}  // namespace
}  // namespace mirelo
