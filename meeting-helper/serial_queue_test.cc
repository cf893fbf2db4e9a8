#include "meeting-helper/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace mirelo {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInOrderOnItsWorker) {
  SerialQueue queue("test-queue");
  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  bool offWorker = false;
  for (int i = 0; i < 100; ++i) {
    queue.post([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      if (!queue.isWorkerThread()) offWorker = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.runSync([] {});
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offWorker);
  EXPECT_FALSE(queue.isWorkerThread());
}

TEST(SerialQueue, TimerRepeatsOnTheWorkerBetweenTasks) {
  SerialQueue queue("test-queue");
  std::atomic<int> fires{0};
  std::atomic<bool> offWorker{false};
  std::promise<void> third;
  queue.startTimer(SerialQueue::Clock::now() + 10ms, 10ms, [&] {
    if (!queue.isWorkerThread()) offWorker = true;
    if (fires.fetch_add(1) == 2) third.set_value();
  });
  ASSERT_EQ(third.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(offWorker);
}

TEST(SerialQueue, MissedFiresAreMergedAndTheGridIsKept) {
  SerialQueue queue("test-queue");
  std::vector<SerialQueue::Clock::time_point> fires;
  auto start = SerialQueue::Clock::now();
  std::promise<void> enough;
  // The worker is busy for far longer than several intervals; afterwards the timer fires
  // once for all missed deadlines, not once per missed deadline in a burst.
  queue.post([] { std::this_thread::sleep_for(200ms); });
  queue.startTimer(start + 20ms, 20ms, [&] {
    fires.push_back(SerialQueue::Clock::now());
    if (fires.size() == 3) enough.set_value();
  });
  ASSERT_EQ(enough.get_future().wait_for(20s), std::future_status::ready);
  queue.stop();
  ASSERT_EQ(fires.size(), 3u);
  // The first fire comes before the next grid point and the third one interval after it:
  // a burst of catch-up fires would put all three together.
  EXPECT_GT(fires[2] - fires[0], 10ms);
}

TEST(SerialQueue, StopDropsWaitingTasksAndIgnoresLaterPosts) {
  SerialQueue queue("test-queue");
  std::promise<void> release;
  auto released = release.get_future().share();
  std::promise<void> blocked;
  std::atomic<int> ran{0};
  queue.post([&, released] {
    blocked.set_value();
    released.wait();
  });
  blocked.get_future().wait();
  queue.post([&] { ++ran; });
  std::thread stopper([&] { queue.stop(); });
  std::this_thread::sleep_for(20ms);
  release.set_value();
  stopper.join();
  queue.post([&] { ++ran; });
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace mirelo
