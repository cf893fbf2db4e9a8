// Vetting an archive of 99,999 entries, some of them links, against what the two zipinfo
// listings cost on their own. Run: build/bin/archive_bench
// The goal is a ratio of at most 1.2 between BM_InspectArchive and BM_ZipinfoListings.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace {

using nlohmann::json;

// The archive: a bundle with a framework whose three usual links point into its current
// version, and 99,990 files spread over a hundred folders.
const std::filesystem::path& largeArchive() {
  static const mirelo::testing::TempDir folder;
  static const std::filesystem::path archive = [] {
    std::filesystem::path path = folder.path() / "update.zip";
    const std::string framework = "Big.app/Contents/Frameworks/F.framework/";
    std::vector<json> entries = {
        {{"name", "Big.app/"}, {"kind", "dir"}},
        {{"name", "Big.app/Contents/Info.plist"}, {"data", "<plist/>"}},
        {{"name", framework + "Versions/A/F"}, {"data", "binary"}},
        {{"name", framework + "Versions/A/Resources/Info.plist"}, {"data", "<plist/>"}},
        {{"name", framework + "Versions/Current"}, {"kind", "link"}, {"data", "A"}},
        {{"name", framework + "F"}, {"kind", "link"}, {"data", "Versions/Current/F"}},
        {{"name", framework + "Resources"}, {"kind", "link"}, {"data", "Versions/Current/Resources"}},
    };
    int remaining = 99'999 - static_cast<int>(entries.size()) - 2;
    entries.push_back({{"name", "Big.app/Contents/MacOS/Big"}, {"data", "program"}});
    entries.push_back({{"name", "Big.app/Contents/Resources/"}, {"kind", "dir"}});
    for (int folderIndex = 0; remaining > 0; ++folderIndex) {
      const int count = remaining < 1000 ? remaining : 1000;
      entries.push_back({{"kind", "bulk"},
                         {"prefix", "Big.app/Contents/Resources/Folder " + std::to_string(folderIndex) + "/file-"},
                         {"count", count}});
      remaining -= count;
    }
    mirelo::testing::ProcessResult made = mirelo::testing::runProcess(
        {"/usr/bin/python3", std::string(MIRELO_SOURCE_DIR) + "/update-helper/install/testdata/craft_zip.py",
         path.string()},
        json(entries).dump());
    if (made.exitCode != 0) {
      std::cerr << made.err;
      std::abort();
    }
    return path;
  }();
  return archive;
}

// Processor time of this process and of its finished children, in seconds. On a shared
// machine this is steadier than the wall clock, which also counts waiting for a core.
double processorSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

// Reports the processor time per iteration, the tools' included, as "cpu_with_tools_ms".
class ProcessorTime {
 public:
  explicit ProcessorTime(benchmark::State& state) : state_(state), start_(processorSeconds()) {}
  ~ProcessorTime() {
    const double perIteration = (processorSeconds() - start_) / static_cast<double>(state_.iterations());
    state_.counters["cpu_with_tools_ms"] = perIteration * 1e3;
  }

 private:
  benchmark::State& state_;
  double start_;
};

void BM_ZipinfoListings(benchmark::State& state) {
  const std::string archive = largeArchive().string();
  ProcessorTime processor(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(mirelo::AtomicInstall::run("/usr/bin/zipinfo", {"-1", archive}));
    benchmark::DoNotOptimize(mirelo::AtomicInstall::run("/usr/bin/zipinfo", {"-l", archive}));
  }
}
BENCHMARK(BM_ZipinfoListings)->Unit(benchmark::kMillisecond)->MinTime(5.0);

void BM_InspectArchive(benchmark::State& state) {
  const std::filesystem::path& archive = largeArchive();
  ProcessorTime processor(state);
  for (auto _ : state) {
    mirelo::ArchiveContents contents = mirelo::AtomicInstall::inspectArchive(archive);
    if (contents.bundle != "Big.app") state.SkipWithError("unexpected bundle");
    benchmark::DoNotOptimize(contents);
  }
}
BENCHMARK(BM_InspectArchive)->Unit(benchmark::kMillisecond)->MinTime(5.0);

// The path rules alone on the same names, with the links that the archive holds.
void BM_ValidatePaths(benchmark::State& state) {
  std::string names = mirelo::AtomicInstall::run("/usr/bin/zipinfo", {"-1", largeArchive().string()});
  std::vector<std::string> paths;
  for (size_t start = 0, end; start < names.size(); start = end + 1) {
    end = names.find('\n', start);
    paths.push_back(names.substr(start, end - start));
  }
  const std::string framework = "Big.app/Contents/Frameworks/F.framework/";
  const mirelo::ArchiveLinks links = {{framework + "Versions/Current", "A"},
                                      {framework + "F", "Versions/Current/F"},
                                      {framework + "Resources", "Versions/Current/Resources"}};
  for (auto _ : state) mirelo::AtomicInstall::validatePaths(paths, links, "Big.app");
}
BENCHMARK(BM_ValidatePaths)->Unit(benchmark::kMillisecond);

// A hostile shape: forty links whose 4,094-byte targets are mostly "./" pieces, each leading
// to the next, and 99,959 entries that all run through the whole chain.
void BM_ValidatePathsThroughLongChains(benchmark::State& state) {
  mirelo::ArchiveLinks links;
  std::string dots;
  while (dots.size() + 2 < 4090) dots += "./";
  std::vector<std::string> paths;
  for (int i = 1; i <= 40; ++i) {
    links.emplace_back("Big.app/c" + std::to_string(i), dots + (i == 40 ? "d" : "c" + std::to_string(i + 1)));
    paths.push_back(links.back().first);
  }
  for (int i = 0; i < 99'959; ++i) paths.push_back("Big.app/c1/f" + std::to_string(i));
  for (auto _ : state) mirelo::AtomicInstall::validatePaths(paths, links, "Big.app");
}
BENCHMARK(BM_ValidatePathsThroughLongChains)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
