// What the user sees first of a foreground session: the time from the start of
// `mirelo-update-helper --run` to its progress window mapped and viewable on a real X server
// (Xvfb with a window manager), building the transaction from the archive and adopting a
// prepared candidate. The window is shown before the background work starts, so the two
// should cost the same.
//
// Run: build/bin/window_bench  (needs Xvfb and icewm, as the window tests do)

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "testing/test_support.h"
#include "testing/x_server.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using mirelo::testing::BackgroundProcess;
using mirelo::testing::TempDir;
using mirelo::testing::XServer;

using mirelo::bench::mustRun;
using mirelo::bench::tool;

// The update sample, and an X server with a window manager to show the window on.
class Sample : public mirelo::bench::UpdateSample {
 public:
  Sample() : UpdateSample("200", "2000000"), server_(/*withWindowManager=*/true) {}

  // The session's window, once the window manager manages it and it is viewable. Polled
  // every half millisecond, finer than what is measured.
  void waitForWindow(pid_t pid) {
    Display* display = server_.connection();
    const Window root = DefaultRootWindow(display);
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      for (long client : mirelo::testing::cardinalProperty(display, root, "_NET_CLIENT_LIST", "WINDOW")) {
        const auto window = static_cast<Window>(client);
        const auto owner = mirelo::testing::cardinalProperty(display, window, "_NET_WM_PID", "CARDINAL");
        XWindowAttributes attributes;
        if (owner.size() == 1 && owner[0] == pid && XGetWindowAttributes(display, window, &attributes) &&
            attributes.map_state == IsViewable) {
          return;
        }
      }
      std::this_thread::sleep_for(500us);
    }
    throw std::runtime_error("the session's window never appeared");
  }

  const std::string& display() const { return server_.display(); }

 private:
  XServer server_;
};

Sample& sample() {
  static Sample* instance = new Sample();
  return *instance;
}

void BM_RunStartToWindowMapped(benchmark::State& state, bool prepared) {
  if (auto missing = XServer::missingProgram()) {
    state.SkipWithError(("missing " + *missing).c_str());
    return;
  }
  Sample& s = sample();
  BackgroundProcess application({"/bin/sleep", "3600"});
  for (auto _ : state) {
    state.PauseTiming();
    if (prepared) s.prepareCandidate();
    s.writeInstallRequest(application.pid(), prepared);
    state.ResumeTiming();
    BackgroundProcess helper(
        {"/usr/bin/env", "DISPLAY=" + s.display(), tool("mirelo-update-helper"), "--run", s.session().string()});
    s.waitForWindow(helper.pid());
    state.PauseTiming();
    // SIGTERM ends the session once its background work has handed back.
    helper.signal(SIGTERM);
    if (helper.wait() != 0) throw std::runtime_error("the session did not end with 0");
    s.removeStagingFolders();
    state.ResumeTiming();
  }
}

BENCHMARK_CAPTURE(BM_RunStartToWindowMapped, FromTheArchive, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RunStartToWindowMapped, AdoptingAPreparedCandidate, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
