#pragma once

// The event loop of the foreground session: the default GLib main context, run on the main
// thread. Signals, readable descriptors and timers become callbacks on that thread, and a
// worker thread hands results back through invoke(). Every source is owned by a Source
// object; destroying or cancelling it removes the source, so a callback never runs after
// its owner has let go of it.

#include <chrono>
#include <functional>
#include <memory>

namespace mirelo {

class MainLoop {
 public:
  class Source {
   public:
    Source() = default;
    Source(Source&&) noexcept = default;
    Source& operator=(Source&& other) noexcept;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() { cancel(); }

    // Removes the source; harmless when it was never set, has fired once (a timer) or
    // was cancelled before.
    void cancel() noexcept;
    // Whether the source can still run its callback.
    bool active() const noexcept;

    struct State;

   private:
    friend class MainLoop;
    explicit Source(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  // Runs `callback` on the main thread at every delivery of `signal` (SIGTERM, SIGINT, SIGHUP
  // or SIGUSR1/2); the signal's default action is gone for as long as the source exists.
  static Source onSignal(int signal, std::function<void()> callback);
  // Runs `callback` whenever `fd` is readable, has hung up or is in error. The descriptor
  // stays owned by the caller and must outlive the source.
  static Source onReadable(int fd, std::function<void()> callback);
  // Runs `callback` once, `delay` from now.
  static Source after(std::chrono::milliseconds delay, std::function<void()> callback);

  // Keeps `signal` caught by the loop to the end of the process, doing nothing when it comes.
  // The loop restores a signal's default action when its last source for that signal goes
  // away; after this call that never happens.
  static void keepSignalCaught(int signal);

  // Queues `callback` to run on the main thread; safe to call from any thread.
  static void invoke(std::function<void()> callback);

  // Runs the loop on the calling thread until quit() is called.
  static void run();
  static void quit();
};

}  // namespace mirelo
