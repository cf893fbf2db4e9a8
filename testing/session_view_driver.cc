// mirelo-session-view-driver: makes the session's view with makeSessionView() exactly as the
// helper does, shows it and then changes it as the session would, one command per line on
// standard input, inside one GLib main loop on the default context. Each command is answered
// with one line on standard output:
//
//   (start)        "window" or "headless", then "shown" once show() returned
//   installing     headline "Installing…"                                       -> "ok"
//   expire         the expired state, with a "Close" button                     -> "ok"
//   describe       the window module's description of the view (JSON), or "{}" -> JSON line
//   quit           ends the process with exit code 3
//
// Pressing "Close" prints "close" and ends the process with exit code 0; end of input ends it
// with exit code 4. Lives beside the helper so that the module is found the same way.

#include <dlfcn.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "update-helper/control/gtk_window_view.h"
#include "update-helper/control/session_view.h"

namespace {

struct Driver {
  GMainLoop* loop = nullptr;
  std::unique_ptr<mirelo::SessionView> view;
  std::string pending;
  int exitCode = 4;
};

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string describe(mirelo::SessionView* view) {
  if (dynamic_cast<mirelo::HeadlessView*>(view) != nullptr) return "{}";
  std::string self(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return "{}";
  self.resize(static_cast<size_t>(length));
  const std::string module = self.substr(0, self.rfind('/') + 1) + mirelo::kWindowModuleName;
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return "{}";
  auto fn = reinterpret_cast<MireloDescribeWindowViewFn>(::dlsym(handle, mirelo::kDescribeWindowViewSymbol));
  if (fn == nullptr) return "{}";
  char* text = fn(view);
  std::string out = text;
  std::free(text);
  return out;
}

void run(Driver& driver, const std::string& command) {
  if (command == "installing") {
    driver.view->setHeadline("Installing…");
    say("ok");
  } else if (command == "expire") {
    driver.view->setHeadline("Update has not finished");
    driver.view->setDetail("Close this window and reopen Mirelo to retry.");
    driver.view->hideProgress();
    driver.view->addCloseButton([&driver] {
      say("close");
      driver.exitCode = 0;
      g_main_loop_quit(driver.loop);
    });
    say("ok");
  } else if (command == "describe") {
    say(describe(driver.view.get()));
  } else if (command == "quit") {
    driver.exitCode = 3;
    g_main_loop_quit(driver.loop);
  } else {
    say("unknown");
  }
}

gboolean readInput(gint fd, GIOCondition, gpointer data) {
  auto& driver = *static_cast<Driver*>(data);
  char buffer[256];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) {
    g_main_loop_quit(driver.loop);
    return G_SOURCE_REMOVE;
  }
  driver.pending.append(buffer, static_cast<size_t>(got));
  for (auto end = driver.pending.find('\n'); end != std::string::npos; end = driver.pending.find('\n')) {
    const std::string command = driver.pending.substr(0, end);
    driver.pending.erase(0, end + 1);
    run(driver, command);
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main() {
  Driver driver;
  driver.loop = g_main_loop_new(nullptr, FALSE);
  driver.view = mirelo::makeSessionView();
  say(dynamic_cast<mirelo::HeadlessView*>(driver.view.get()) != nullptr ? "headless" : "window");
  driver.view->show();
  say("shown");
  g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &readInput, &driver);
  g_main_loop_run(driver.loop);
  driver.view.reset();
  g_main_loop_unref(driver.loop);
  return driver.exitCode;
}
