// `mirelo-update-helper --prepare` of a sample application of 5,000 files and about 300 MB,
// against the bare floor of the same work: `unzip -qq` of the archive plus `sha256sum` over
// the extracted files. The stage benchmarks show where the preparation's time goes. Each
// benchmark runs once per repetition on the same archive, in one process, so the figures
// share one page-cache state.
// Run: build/bin/prepare_bench
//      (MIRELO_PREPARE_FILES / MIRELO_PREPARE_BYTES change the size of the sample)

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/codesign.h"
#include "bench/bench_support.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace {

namespace fs = std::filesystem;
using mirelo::AtomicInstall;
using mirelo::testing::TempDir;

using mirelo::bench::mustRun;
using mirelo::bench::tool;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value ? std::stoull(value) : fallback;
}

// An installed application, its signed 2.0.0 update as an archive, and a work directory.
class Sample {
 public:
  Sample() {
    const std::string files = std::to_string(fromEnvironment("MIRELO_PREPARE_FILES", 5000));
    const std::string bytes = std::to_string(fromEnvironment("MIRELO_PREPARE_BYTES", 300000000));
    key_ = root() / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    fs::create_directories(applications());
    fs::create_directories(work());
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", "com.mirelo.desktop", "--version", "1.0.0",
             "--files", "20", "--bytes", "100000", "--key", key_, applications()});
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", "com.mirelo.desktop", "--version", "2.0.0",
             "--files", files, "--bytes", bytes, "--key", key_, root() / "build"});
    mustRun({tool("mirelo-sample-app"), "archive", root() / "build/Mirelo.app", archive()});
    fs::remove_all(root() / "build");
    mirelo::testing::writeFile(work() / "request.json",
                               "{\"archive\":\"" + archive().string() + "\",\"executable\":\"" +
                                   (applications() / "Mirelo.app/Contents/MacOS/Mirelo").string() +
                                   "\",\"version\":\"2.0.0\",\"tag\":\"bench\"}");
  }

  fs::path root() const { return dir_.path(); }
  fs::path applications() const { return root() / "Applications"; }
  fs::path work() const { return root() / "jobs/prepare"; }
  fs::path archive() const { return root() / "Mirelo-2.0.0.zip"; }
  // A scratch folder on the same volume for the stage benchmarks.
  fs::path scratch() const { return applications() / "scratch"; }

 private:
  TempDir dir_;
  fs::path key_;
};

Sample& sample() {
  static Sample* instance = new Sample();
  return *instance;
}

void extractTo(const fs::path& destination) {
  fs::remove_all(destination);
  fs::create_directories(destination);
  mustRun({"/usr/bin/unzip", "-qq", "-n", sample().archive(), "-d", destination});
}

// The floor: extract without flushing, then read every byte once through SHA-256.
void BM_UnzipAndSha256sum(benchmark::State& state) {
  Sample& s = sample();
  for (auto _ : state) {
    extractTo(s.scratch());
    mustRun({"/bin/sh", "-c", "cd '" + s.scratch().string() + "' && find . -type f -print0 | xargs -0 sha256sum > /dev/null"});
    state.PauseTiming();
    fs::remove_all(s.scratch());
    state.ResumeTiming();
  }
}

void BM_Prepare(benchmark::State& state) {
  Sample& s = sample();
  for (auto _ : state) {
    mustRun({tool("mirelo-update-helper"), "--prepare", s.work()});
    state.PauseTiming();
    mustRun({tool("mirelo-update-helper"), "--discard", s.work()});
    state.ResumeTiming();
  }
}

void BM_StageListing(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(AtomicInstall::inspectArchive(sample().archive()));
}

void BM_StageExtraction(benchmark::State& state) {
  for (auto _ : state) {
    extractTo(sample().scratch());
    state.PauseTiming();
    fs::remove_all(sample().scratch());
    state.ResumeTiming();
  }
}

// Signature, flushes and inventory on one extracted candidate.
class Extracted {
 public:
  Extracted() {
    extractTo(sample().scratch());
    requirement_ = mirelo::codesign::StaticCode::createWithPath(candidate()).designatedRequirement();
  }
  ~Extracted() { fs::remove_all(sample().scratch()); }
  fs::path candidate() const { return sample().scratch() / "Mirelo.app"; }
  const mirelo::codesign::Requirement& requirement() const { return *requirement_; }

 private:
  std::optional<mirelo::codesign::Requirement> requirement_;
};

void BM_StageSignature(benchmark::State& state) {
  Extracted extracted;
  for (auto _ : state) {
    auto code = mirelo::codesign::StaticCode::createWithPath(extracted.candidate());
    code.checkValidity(25, &extracted.requirement());
  }
}

std::vector<std::string>* flushList = nullptr;
int collect(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_F || type == FTW_D || type == FTW_DP) flushList->push_back(path);
  return 0;
}

void BM_StageFlushes(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto extracted = std::make_unique<Extracted>();  // fresh, dirty pages, as after a real extraction
    std::vector<std::string> paths;
    flushList = &paths;
    nftw(extracted->candidate().c_str(), collect, 64, FTW_PHYS | FTW_DEPTH);
    state.counters["items"] = static_cast<double>(paths.size());
    state.ResumeTiming();
    for (const std::string& path : paths) AtomicInstall::syncFile(path);
    AtomicInstall::syncVolume((extracted->candidate() / "Contents/Info.plist").string());
    state.PauseTiming();
    extracted.reset();
    state.ResumeTiming();
  }
}

// The same flushes when one whole-volume flush has written the extraction out first.
void BM_StageFlushesAfterVolumeFlush(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto extracted = std::make_unique<Extracted>();
    std::vector<std::string> paths;
    flushList = &paths;
    nftw(extracted->candidate().c_str(), collect, 64, FTW_PHYS | FTW_DEPTH);
    state.ResumeTiming();
    AtomicInstall::syncVolume((extracted->candidate() / "Contents/Info.plist").string());
    for (const std::string& path : paths) AtomicInstall::syncFile(path);
    AtomicInstall::syncVolume((extracted->candidate() / "Contents/Info.plist").string());
    state.PauseTiming();
    extracted.reset();
    state.ResumeTiming();
  }
}

void BM_StageInventory(benchmark::State& state) {
  Extracted extracted;
  for (auto _ : state) benchmark::DoNotOptimize(AtomicInstall::inventory(extracted.candidate()));
}

#define ONCE(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(2)->UseRealTime()
ONCE(BM_UnzipAndSha256sum);
ONCE(BM_Prepare);
ONCE(BM_StageListing);
ONCE(BM_StageExtraction);
ONCE(BM_StageSignature);
ONCE(BM_StageFlushes);
ONCE(BM_StageFlushesAfterVolumeFlush);
ONCE(BM_StageInventory);

}  // namespace

BENCHMARK_MAIN();
