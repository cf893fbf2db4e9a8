// The foreground session's two costs that the user waits for.
//
// Adoption: from the start of `mirelo-update-helper --run` to its "ready" file, with a
// prepared candidate of 5,000 items, against the floor of the same proof: an lstat walk of
// the candidate tree plus a signature check that skips the resources.
//
// Downtime: from the desktop application's exit to the relaunched program running, end to
// end, and split into the exchange rename, the two folder flushes and the relaunch through
// mirelo-open; the full device flush (syncfs) is reported on its own.
//
// Run: build/bin/session_bench  (MIRELO_SESSION_FILES changes the size of the candidate)

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/codesign.h"
#include "platform/fs.h"
#include "bench/bench_support.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using mirelo::AtomicInstall;
using mirelo::testing::BackgroundProcess;
using mirelo::testing::TempDir;

using mirelo::bench::mustRun;
using mirelo::bench::tool;

void waitFor(const fs::path& file) {
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(file)) {
    if (std::chrono::steady_clock::now() > end) throw std::runtime_error("no " + file.string());
    std::this_thread::sleep_for(50us);
  }
}

using Sample = mirelo::bench::UpdateSample;

Sample& sample() {
  const char* files = std::getenv("MIRELO_SESSION_FILES");
  static Sample* instance = new Sample(files ? files : "5000", "50000000");
  return *instance;
}

void endSession(BackgroundProcess& helper) {
  helper.signal(SIGTERM);
  if (helper.wait() != 0) throw std::runtime_error("the session did not end with 0");
}

// --run start to "ready", adopting the prepared candidate.
void BM_AdoptionToReady(benchmark::State& state) {
  Sample& s = sample();
  BackgroundProcess application({"/bin/sleep", "3600"});
  for (auto _ : state) {
    state.PauseTiming();
    s.prepareCandidate();
    s.writeInstallRequest(application.pid(), true);
    state.ResumeTiming();
    BackgroundProcess helper({tool("mirelo-update-helper"), "--run", s.session().string()});
    waitFor(s.session() / "ready");
    state.PauseTiming();
    if (!fs::exists(s.session() / "adopted.json")) throw std::runtime_error("nothing adopted");
    endSession(helper);
    state.ResumeTiming();
  }
}

// The floor of the same proof: every entry of the tree examined once, and the signature
// checked without its resources.
void BM_LstatWalkAndSignatureWithoutResources(benchmark::State& state) {
  Sample& s = sample();
  const fs::path candidate = s.prepareCandidate();
  const auto requirement =
      mirelo::codesign::StaticCode::createWithPath(s.applications() / "Mirelo.app").designatedRequirement();
  for (auto _ : state) {
    size_t entries = 0;
    for (const auto& entry : fs::recursive_directory_iterator(candidate)) {
      struct stat status {};
      ::lstat(entry.path().c_str(), &status);
      ++entries;
    }
    mirelo::codesign::StaticCode::createWithPath(candidate).checkValidity(mirelo::codesign::kDoNotValidateResources,
                                                                          &requirement);
    benchmark::DoNotOptimize(entries);
  }
  mustRun({tool("mirelo-update-helper"), "--discard", s.prepare()});
}

// The application quits; the relaunched program runs. Measured from the exit of the
// application's process to the relaunched program's first line, end to end.
void BM_DowntimeEndToEnd(benchmark::State& state) {
  Sample& s = sample();
  const fs::path started = s.root() / "started.log";
  for (auto _ : state) {
    state.PauseTiming();
    s.makeInstalled();
    fs::remove(started);
    auto application = std::make_unique<BackgroundProcess>(std::vector<std::string>{"/bin/sleep", "3600"});
    s.writeInstallRequest(application->pid(), false);
    BackgroundProcess helper({"/usr/bin/env", "MIRELO_SAMPLE_STARTED=" + started.string(),
                              tool("mirelo-update-helper"), "--run", s.session().string()});
    waitFor(s.session() / "ready");
    mirelo::testing::writeFile(s.session() / ".phase", "installing");
    fs::rename(s.session() / ".phase", s.session() / "phase");
    std::this_thread::sleep_for(20ms);
    state.ResumeTiming();
    application->signal(SIGKILL);
    application->wait();
    waitFor(started);
    state.PauseTiming();
    endSession(helper);
    s.removeStagingFolders();
    state.ResumeTiming();
  }
}

// The pieces of the swap, on two bundles beside each other.
class SwapPieces {
 public:
  SwapPieces() {
    Sample& s = sample();
    s.makeInstalled();
    staging_ = s.applications() / ".swap";
    fs::create_directories(staging_);
    fs::copy(s.applications() / "Mirelo.app", staging_ / "Mirelo.app",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  ~SwapPieces() { fs::remove_all(staging_); }
  fs::path candidate() const { return staging_ / "Mirelo.app"; }
  fs::path target() const { return sample().applications() / "Mirelo.app"; }
  fs::path staging() const { return staging_; }

 private:
  fs::path staging_;
};

void BM_DowntimeExchange(benchmark::State& state) {
  SwapPieces pieces;
  for (auto _ : state) mirelo::fs::renameExchange(pieces.candidate().string(), pieces.target().string());
}

void BM_DowntimeFolderFlushes(benchmark::State& state) {
  SwapPieces pieces;
  for (auto _ : state) {
    AtomicInstall::syncFile(pieces.staging().string());
    AtomicInstall::syncFile(sample().applications().string());
  }
}

void BM_DowntimeRelaunch(benchmark::State& state) {
  SwapPieces pieces;
  for (auto _ : state) AtomicInstall::run(tool("mirelo-open"), {"-n", pieces.target().string()});
}

// Reported apart: the whole device's cache written out, which the swap ends with.
void BM_FullDeviceFlush(benchmark::State& state) {
  SwapPieces pieces;
  for (auto _ : state) AtomicInstall::syncVolume((pieces.target() / "Contents/Info.plist").string());
}

BENCHMARK(BM_AdoptionToReady)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LstatWalkAndSignatureWithoutResources)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DowntimeEndToEnd)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_DowntimeExchange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DowntimeFolderFlushes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DowntimeRelaunch)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_FullDeviceFlush)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
