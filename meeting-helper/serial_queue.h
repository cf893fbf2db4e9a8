#pragma once

// One worker thread that runs tasks one at a time, in the order they were posted, plus one
// optional repeating timer whose handler runs on the same thread. Everything the monitor
// does after start-up runs here, so its state needs no lock.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace mirelo {

class SerialQueue {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  // Starts the worker thread, named `label` for debuggers and `top`.
  explicit SerialQueue(const std::string& label);
  ~SerialQueue();  // stop()
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Runs `task` later on the worker. Ignored once the queue has stopped.
  void post(Task task);

  // Runs `task` on the worker and returns when it has finished. Must not be called from
  // the worker itself.
  void runSync(Task task);

  // Runs `handler` on the worker at `first` and then every `interval` after it, without
  // leeway: the worker's timer slack is the smallest the kernel allows. Fires that were
  // missed while the worker was busy are merged into one, and the next stays on the grid.
  // Replaces an earlier timer.
  void startTimer(Clock::time_point first, Clock::duration interval, Task handler);

  // Ends the worker after the task that is running, if any. Tasks still waiting are
  // dropped, and later posts are ignored. Whoever hands this queue to a source of tasks
  // stops it before that source goes away.
  void stop();

  bool isWorkerThread() const { return std::this_thread::get_id() == workerId_; }

 private:
  struct Timer {
    Clock::time_point deadline;
    Clock::duration interval;
    Task handler;
  };

  void run(std::string label);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::optional<Timer> timer_;
  bool stopping_ = false;
  std::thread worker_;
  std::thread::id workerId_;
};

}  // namespace mirelo
