// Start-to-exit time of `mirelo-update-helper --probe`, which the desktop application polls.
// Run: build/bin/probe_bench  (reports the median of the repetitions)

#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include <benchmark/benchmark.h>

#include "testing/test_support.h"

extern char** environ;

namespace {

void runOnce(const std::string& helper, const std::string& directory) {
  const char* argv[] = {helper.c_str(), "--probe", directory.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, helper.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return;
  int status = 0;
  waitpid(pid, &status, 0);
}

void BM_ProbeIdleDirectory(benchmark::State& state) {
  mirelo::testing::TempDir dir;
  const std::string helper = mirelo::testing::programPath("mirelo-update-helper");
  for (auto _ : state) runOnce(helper, dir.path());
}
BENCHMARK(BM_ProbeIdleDirectory)->Unit(benchmark::kMillisecond)->Repetitions(10)->ReportAggregatesOnly(true);

// The same spawn of /bin/true, as the floor that process creation alone costs here.
void BM_SpawnTrue(benchmark::State& state) {
  for (auto _ : state) runOnce("/bin/true", "/");
}
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMillisecond)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
