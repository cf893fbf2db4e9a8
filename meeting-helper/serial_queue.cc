#include "meeting-helper/serial_queue.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <future>
#include <utility>

namespace mirelo {

SerialQueue::SerialQueue(const std::string& label) {
  worker_ = std::thread([this, label] { run(label); });
  workerId_ = worker_.get_id();
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::runSync(Task task) {
  std::promise<void> done;
  auto finished = done.get_future();
  post([&task, &done] {
    task();
    done.set_value();
  });
  finished.wait();
}

void SerialQueue::startTimer(Clock::time_point first, Clock::duration interval, Task handler) {
  {
    std::lock_guard lock(mutex_);
    timer_ = Timer{first, interval, std::move(handler)};
  }
  wake_.notify_one();
}

void SerialQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    tasks_.clear();
  }
  wake_.notify_one();
  if (worker_.joinable() && !isWorkerThread()) worker_.join();
}

void SerialQueue::run(std::string label) {
  // Thread names are limited to 15 bytes.
  ::pthread_setname_np(::pthread_self(), label.substr(0, 15).c_str());
  // The kernel may otherwise add up to 50 µs to every timed wait; a slack of 1 ns is
  // the smallest there is (0 would restore the default).
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    if (timer_) {
      auto now = Clock::now();
      if (now >= timer_->deadline) {
        auto interval = timer_->interval;
        auto late = (now - timer_->deadline) / interval;
        timer_->deadline += (late + 1) * interval;
        Task handler = timer_->handler;
        lock.unlock();
        handler();
        lock.lock();
        continue;
      }
      wake_.wait_until(lock, timer_->deadline);
    } else {
      wake_.wait(lock);
    }
  }
}

}  // namespace mirelo
