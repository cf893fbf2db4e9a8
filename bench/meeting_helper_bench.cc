// Costs of mirelo-meeting-helper against private sound servers, PulseAudio and PipeWire
// with its PulseAudio server (the argument of each benchmark names the server):
//   BM_RecorderToLine  time from starting a `parecord` (plain, or in a sandbox) to the
//                      helper's line that lists it
//                      (goal: under 100 ms, carried by the listeners, not the 1 s poll)
//   BM_IdlePolling     the helper's CPU time while nothing changes, as a share of one core
//                      (goal: under 0.05 %), and its peak resident memory (goal: under 8 MB)
//
// Run from the build folder:  bin/meeting_helper_bench
// The idle measurement lasts MIRELO_IDLE_SECONDS (default 10); for the one-minute figure:
//   MIRELO_IDLE_SECONDS=60 bin/meeting_helper_bench --benchmark_filter=Idle

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "testing/sound_server.h"

namespace {

using mirelo::testing::HelperProcess;
using mirelo::testing::Recorder;
using mirelo::testing::Seconds;
using mirelo::testing::SoundServer;
using mirelo::testing::SoundServerKind;
using Clock = std::chrono::steady_clock;

// Nanoseconds on a CPU so far, summed over all threads of `pid`.
double cpuSeconds(pid_t pid) {
  double total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream stat(task.path() / "schedstat");
    unsigned long long onCpu = 0;
    stat >> onCpu;
    total += static_cast<double>(onCpu) / 1e9;
  }
  return total;
}

// A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS").
double statusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1));
  }
  return -1;
}

// Starts a server of `kind`, or says why not.
std::unique_ptr<SoundServer> startServer(benchmark::State& state, SoundServerKind kind) {
  if (auto reason = SoundServer::unavailableReason(kind)) {
    state.SkipWithError(reason->c_str());
    return nullptr;
  }
  auto server = SoundServer::create(kind);
  server->start();
  return server;
}

double daemonsCpuSeconds(const SoundServer& server) {
  double total = 0;
  for (pid_t pid : server.daemonPids()) total += cpuSeconds(pid);
  return total;
}

void BM_RecorderToLine(benchmark::State& state, SoundServerKind kind, bool inSandbox) {
  if (inSandbox) {
    if (auto reason = Recorder::sandboxUnavailableReason()) {
      state.SkipWithError(reason->c_str());
      return;
    }
  }
  auto server = startServer(state, kind);
  if (!server) return;
  HelperProcess helper(server->env());
  if (helper.nextLine() != R"({"apps":[]})") {
    state.SkipWithError("helper did not start");
    return;
  }
  double worst = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    std::unique_ptr<Recorder> recorder =
        inSandbox ? Recorder::sandboxed(*server, Recorder::parecordCommand(SoundServer::kMicrophone), "org.example.Bench")
                  : std::make_unique<Recorder>(*server, SoundServer::kMicrophone, "com.example.bench");
    std::string wanted = "\"pid\":" + std::to_string(recorder->pid()) + "}";
    auto line = helper.lineWhere([&](const std::string& l) { return l.find(wanted) != std::string::npos; });
    double seconds = Seconds(Clock::now() - start).count();
    if (!line) {
      state.SkipWithError("the recorder was never listed");
      return;
    }
    state.SetIterationTime(seconds);
    worst = std::max(worst, seconds);
    recorder->stop();
    helper.lineWhere([](const std::string& l) { return l == R"({"apps":[]})"; });
  }
  state.counters["worst_ms"] = worst * 1000;
  state.counters["helper_VmHWM_kB"] = statusKilobytes(helper.pid(), "VmHWM");
  helper.closeInput();
  helper.waitExit();
}
BENCHMARK_CAPTURE(BM_RecorderToLine, PulseAudio, SoundServerKind::kPulseAudio, false)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK_CAPTURE(BM_RecorderToLine, PipeWire, SoundServerKind::kPipeWire, false)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
// The recorder in a bubblewrap sandbox with a pid namespace of its own: its host pid is
// established from the server's connections and /proc.
BENCHMARK_CAPTURE(BM_RecorderToLine, PulseAudioSandboxed, SoundServerKind::kPulseAudio, true)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK_CAPTURE(BM_RecorderToLine, PipeWireSandboxed, SoundServerKind::kPipeWire, true)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_IdlePolling(benchmark::State& state, SoundServerKind kind) {
  double seconds = 10;
  if (const char* text = std::getenv("MIRELO_IDLE_SECONDS")) seconds = std::atof(text);
  auto server = startServer(state, kind);
  if (!server) return;
  HelperProcess helper(server->env());
  if (helper.nextLine() != R"({"apps":[]})") {
    state.SkipWithError("helper did not start");
    return;
  }
  double share = 0;
  for (auto _ : state) {
    double cpuBefore = cpuSeconds(helper.pid());
    double serverBefore = daemonsCpuSeconds(*server);
    auto start = Clock::now();
    std::this_thread::sleep_for(Seconds(seconds));
    double wall = Seconds(Clock::now() - start).count();
    double cpu = cpuSeconds(helper.pid()) - cpuBefore;
    share = cpu / wall;
    state.SetIterationTime(wall);
    state.counters["cpu_us_per_s"] = share * 1e6;
    // The server answers the poll's queries; its share is reported for comparison.
    state.counters["server_cpu_percent"] = (daemonsCpuSeconds(*server) - serverBefore) / wall * 100;
  }
  state.counters["cpu_percent_of_core"] = share * 100;
  state.counters["helper_VmHWM_kB"] = statusKilobytes(helper.pid(), "VmHWM");
  state.counters["helper_VmRSS_kB"] = statusKilobytes(helper.pid(), "VmRSS");
  // Still quiet: nothing changed, so nothing more was written.
  if (helper.nextLine(Seconds(0))) state.SkipWithError("the helper wrote while nothing changed");
  helper.closeInput();
  helper.waitExit();
}
BENCHMARK_CAPTURE(BM_IdlePolling, PulseAudio, SoundServerKind::kPulseAudio)
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_IdlePolling, PipeWire, SoundServerKind::kPipeWire)
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
