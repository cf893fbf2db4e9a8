#include "platform/main_loop.h"

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <utility>

namespace mirelo {

struct MainLoop::Source::State {
  guint id = 0;
  bool oneShot = false;
  bool active = true;
  std::function<void()> callback;
};

namespace {

// The loop that run() is running, if any.
GMainLoop* g_running = nullptr;

gboolean dispatch(gpointer data) {
  // Keep the state alive across the callback: the callback may cancel its own source.
  auto state = static_cast<MainLoop::Source::State*>(data);
  if (!state->active) return G_SOURCE_REMOVE;
  if (state->oneShot) state->active = false;
  // A copy, so that cancelling the source from inside the callback does not destroy the
  // function that is running.
  std::function<void()> callback = state->callback;
  callback();
  return state->oneShot ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

gboolean dispatchFd(gint, GIOCondition, gpointer data) { return dispatch(data); }

// The GLib source holds one reference to the state, dropped when GLib destroys the source.
gpointer holdState(const std::shared_ptr<MainLoop::Source::State>& state) {
  return new std::shared_ptr<MainLoop::Source::State>(state);
}
void releaseState(gpointer data) { delete static_cast<std::shared_ptr<MainLoop::Source::State>*>(data); }

MainLoop::Source::State* stateOf(gpointer data) {
  return static_cast<std::shared_ptr<MainLoop::Source::State>*>(data)->get();
}

gboolean dispatchHeld(gpointer data) { return dispatch(stateOf(data)); }
gboolean dispatchFdHeld(gint fd, GIOCondition condition, gpointer data) {
  return dispatchFd(fd, condition, stateOf(data));
}

}  // namespace

MainLoop::Source& MainLoop::Source::operator=(Source&& other) noexcept {
  if (this != &other) {
    cancel();
    state_ = std::move(other.state_);
  }
  return *this;
}

void MainLoop::Source::cancel() noexcept {
  if (!state_) return;
  if (state_->active) {
    state_->active = false;
    g_source_remove(state_->id);
  }
  state_.reset();
}

bool MainLoop::Source::active() const noexcept { return state_ && state_->active; }

MainLoop::Source MainLoop::onSignal(int signal, std::function<void()> callback) {
  auto state = std::make_shared<Source::State>();
  state->callback = std::move(callback);
  state->id = g_unix_signal_add_full(G_PRIORITY_DEFAULT, signal, dispatchHeld, holdState(state), releaseState);
  return Source(std::move(state));
}

MainLoop::Source MainLoop::onReadable(int fd, std::function<void()> callback) {
  auto state = std::make_shared<Source::State>();
  state->callback = std::move(callback);
  state->id = g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                 dispatchFdHeld, holdState(state), releaseState);
  return Source(std::move(state));
}

MainLoop::Source MainLoop::after(std::chrono::milliseconds delay, std::function<void()> callback) {
  auto state = std::make_shared<Source::State>();
  state->callback = std::move(callback);
  state->oneShot = true;
  const auto milliseconds = delay.count() < 0 ? 0 : static_cast<guint>(std::min<long long>(delay.count(), G_MAXUINT));
  state->id = g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, dispatchHeld, holdState(state), releaseState);
  return Source(std::move(state));
}

void MainLoop::keepSignalCaught(int signal) {
  g_unix_signal_add(signal, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
}

void MainLoop::invoke(std::function<void()> callback) {
  // Always through a source on the default context, never g_main_context_invoke: that one
  // calls the function at once on a thread that manages to acquire the context, which a
  // worker thread does whenever the main thread is not inside run() at that moment.
  auto* held = new std::function<void()>(std::move(callback));
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      held, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void MainLoop::run() {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GMainLoop* outer = std::exchange(g_running, loop);
  g_main_loop_run(loop);
  g_running = outer;
  g_main_loop_unref(loop);
}

void MainLoop::quit() {
  if (g_running != nullptr) g_main_loop_quit(g_running);
}

}  // namespace mirelo
