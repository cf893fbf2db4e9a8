#include "platform/main_loop.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace mirelo {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, TimersRunOnceAndCancelledOnesNever) {
  std::vector<int> ran;
  MainLoop::Source first = MainLoop::after(10ms, [&] { ran.push_back(1); });
  MainLoop::Source cancelled = MainLoop::after(5ms, [&] { ran.push_back(2); });
  cancelled.cancel();
  MainLoop::Source last = MainLoop::after(60ms, [&] {
    ran.push_back(3);
    MainLoop::quit();
  });
  MainLoop::run();
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_FALSE(first.active()) << "a timer that fired is spent";
  first.cancel();  // harmless
}

TEST(MainLoop, WorkerThreadsHandBackOnTheMainThread) {
  const auto mainThread = std::this_thread::get_id();
  std::thread::id ranOn;
  std::thread worker([&] {
    MainLoop::invoke([&] {
      ranOn = std::this_thread::get_id();
      MainLoop::quit();
    });
  });
  MainLoop::run();
  worker.join();
  EXPECT_EQ(ranOn, mainThread);

  // A worker that hands back before the main thread has entered the loop: the callback
  // still waits for the loop instead of running on the worker that queued it.
  ranOn = {};
  std::thread early([&] {
    MainLoop::invoke([&] {
      ranOn = std::this_thread::get_id();
      MainLoop::quit();
    });
  });
  early.join();
  EXPECT_EQ(ranOn, std::thread::id{}) << "the callback ran before the loop did";
  MainLoop::run();
  EXPECT_EQ(ranOn, mainThread);
}

TEST(MainLoop, ReadableDescriptorsAndSignalsBecomeCallbacks) {
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  int reads = 0, signals = 0;
  MainLoop::Source readable = MainLoop::onReadable(pipe[0], [&] {
    char byte;
    ASSERT_EQ(::read(pipe[0], &byte, 1), 1);
    ++reads;
    // The callback may cancel its own source.
    readable.cancel();
    ::kill(::getpid(), SIGUSR1);
  });
  MainLoop::Source signal = MainLoop::onSignal(SIGUSR1, [&] {
    ++signals;
    MainLoop::quit();
  });
  ASSERT_EQ(::write(pipe[1], "xy", 2), 2);
  MainLoop::run();
  EXPECT_EQ(reads, 1) << "the cancelled source ran again although a byte is left";
  EXPECT_EQ(signals, 1) << "the signal did not end the process and reached the loop";
  ::close(pipe[0]);
  ::close(pipe[1]);
}

}  // namespace
}  // namespace mirelo
