// Start-to-exit time of `mirelo-update-helper --probe`, which the desktop application polls,
// against a spawn of /bin/true: the floor that process creation alone costs here. The goal
// is a probe of at most twice that floor.
//
// Every iteration spawns /bin/true and then the helper, one after the other, so that load
// from elsewhere on a shared machine hits both alike. The reported time is the helper's;
// the counters give the /bin/true time of the same iterations ("true_ms") and the ratio.
//
// The start-up cost of the other modes is measured the same way, on a work directory whose
// lock this process holds: `--prepare` then exits 3 and `--run` exits 2 right after their
// lock attempt, so the figure is loading the program and its libraries, nothing else.
//
// Run: build/bin/probe_bench  (medians of the repetitions). To compare with another build
// of the helper, name its executable in MIRELO_PROBE_BENCH_HELPER.

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/unique_fd.h"
#include "testing/test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds from the spawn to the reaped exit.
double runOnce(const char* program, const char* mode, const char* directory) {
  const char* argv[] = {program, mode, directory, nullptr};
  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, program, nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string helperPath() {
  if (const char* other = std::getenv("MIRELO_PROBE_BENCH_HELPER"); other != nullptr && *other != '\0') return other;
  return mirelo::testing::programPath("mirelo-update-helper");
}

void againstSpawnOfTrue(benchmark::State& state, const char* mode, const char* directory) {
  const std::string helper = helperPath();
  double trueSeconds = 0;
  double helperSeconds = 0;
  for (auto _ : state) {
    trueSeconds += runOnce("/bin/true", mode, directory);
    const double seconds = runOnce(helper.c_str(), mode, directory);
    helperSeconds += seconds;
    state.SetIterationTime(seconds);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["true_ms"] = 1000 * trueSeconds / iterations;
  state.counters["ratio"] = trueSeconds > 0 ? helperSeconds / trueSeconds : 0;
}

void BM_ProbeIdleDirectory(benchmark::State& state) {
  mirelo::testing::TempDir dir;
  againstSpawnOfTrue(state, "--probe", dir.path().c_str());
}

// `mode` on a directory whose lock is held here, as by another instance.
void startUpOfMode(benchmark::State& state, const char* mode) {
  mirelo::testing::TempDir dir;
  mirelo::UniqueFd lock(::open((dir / "active.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    state.SkipWithError("cannot hold the work directory's lock");
    return;
  }
  againstSpawnOfTrue(state, mode, dir.path().c_str());
}

void BM_PrepareStartUp(benchmark::State& state) { startUpOfMode(state, "--prepare"); }
void BM_RunStartUp(benchmark::State& state) { startUpOfMode(state, "--run"); }

#define MIRELO_SPAWN_BENCHMARK(fn)  \
  BENCHMARK(fn)                     \
      ->UseManualTime()             \
      ->Unit(benchmark::kMillisecond) \
      ->MinTime(0.3)                \
      ->Repetitions(10)             \
      ->ReportAggregatesOnly(true)

MIRELO_SPAWN_BENCHMARK(BM_ProbeIdleDirectory);
MIRELO_SPAWN_BENCHMARK(BM_PrepareStartUp);
MIRELO_SPAWN_BENCHMARK(BM_RunStartUp);

}  // namespace

BENCHMARK_MAIN();
