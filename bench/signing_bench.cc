// The inventory digest against a bare lstat walk of the same tree, and the full signature
// check against one SHA-256 pass over the same bundle's bytes. Both pairs should stay within
// 1.3x of their baseline.
// Run: build/bin/signing_bench

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/codesign.h"
#include "platform/sha256.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace {

namespace fs = std::filesystem;
using mirelo::testing::TempDir;

// 40 folders, each with 120 files and 4 links: 5,000 items below the bundle folder.
class InventoryTree {
 public:
  InventoryTree() {
    fs::path contents = dir_ / "Tree.app/Contents";
    fs::create_directories(contents);
    for (int folder = 0; folder < 39; ++folder) {
      fs::path here = contents / ("folder-" + std::to_string(folder));
      fs::create_directory(here);
      for (int file = 0; file < 120; ++file) {
        mirelo::testing::writeFile(here / ("file-" + std::to_string(file) + ".dat"), "content");
      }
      for (int link = 0; link < 4; ++link) {
        fs::create_symlink("file-" + std::to_string(link) + ".dat", here / ("link-" + std::to_string(link)));
      }
    }
    for (int file = 0; file < 124; ++file) {
      mirelo::testing::writeFile(contents / ("top-" + std::to_string(file)), "x");
    }
  }
  fs::path bundle() const { return dir_ / "Tree.app"; }

 private:
  TempDir dir_;
};

InventoryTree& inventoryTree() {
  static InventoryTree* tree = new InventoryTree();
  return *tree;
}

size_t lstatCount = 0;
int countItem(const char*, const struct stat*, int, struct FTW*) {
  ++lstatCount;
  return 0;
}

void BM_InventoryDigest(benchmark::State& state) {
  const fs::path bundle = inventoryTree().bundle();
  for (auto _ : state) benchmark::DoNotOptimize(mirelo::AtomicInstall::inventory(bundle));
}
BENCHMARK(BM_InventoryDigest)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The floor: nftw visiting every item with lstat and doing nothing else.
void BM_BareLstatWalk(benchmark::State& state) {
  const std::string bundle = inventoryTree().bundle().string();
  for (auto _ : state) {
    lstatCount = 0;
    ::nftw(bundle.c_str(), countItem, 64, FTW_PHYS);
    benchmark::DoNotOptimize(lstatCount);
  }
  state.counters["items"] = static_cast<double>(lstatCount - 1);
}
BENCHMARK(BM_BareLstatWalk)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// A signed sample application of 400 files holding 64 MiB.
class SignedBundle {
 public:
  SignedBundle() {
    std::string codesign = mirelo::testing::programPath("mirelo-codesign").string();
    std::string sample = mirelo::testing::programPath("mirelo-sample-app").string();
    std::string key = (dir_ / "key.pem").string();
    if (mirelo::testing::runProcess({codesign, "keygen", key}).exitCode != 0 ||
        mirelo::testing::runProcess({sample, "bundle", "--identifier", "com.example.bench", "--version", "1.0",
                                     "--files", "400", "--bytes", std::to_string(64 << 20), "--key", key,
                                     dir_.path().string()})
                .exitCode != 0) {
      throw std::runtime_error("cannot make the signed sample bundle");
    }
  }
  fs::path bundle() const { return dir_ / "Mirelo.app"; }

 private:
  TempDir dir_;
};

SignedBundle& signedBundle() {
  static SignedBundle* bundle = new SignedBundle();
  return *bundle;
}

void BM_FullSignatureCheck(benchmark::State& state) {
  const fs::path bundle = signedBundle().bundle();
  auto requirement = mirelo::codesign::StaticCode::createWithPath(bundle).designatedRequirement();
  for (auto _ : state) {
    mirelo::codesign::StaticCode code = mirelo::codesign::StaticCode::createWithPath(bundle);
    code.checkValidity(mirelo::codesign::kCheckAllArchitectures | mirelo::codesign::kCheckNestedCode |
                           mirelo::codesign::kStrictValidate,
                       &requirement);
  }
}
BENCHMARK(BM_FullSignatureCheck)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

std::vector<std::string> regularFiles;
int collectFile(const char* path, const struct stat* status, int, struct FTW*) {
  if (S_ISREG(status->st_mode)) regularFiles.emplace_back(path);
  return 0;
}

// The floor: every regular file of the bundle read once into one SHA-256.
void BM_OneSha256PassOverTheBytes(benchmark::State& state) {
  const std::string bundle = signedBundle().bundle().string();
  std::unique_ptr<char[]> buffer(new char[1 << 18]);
  int64_t bytes = 0;
  for (auto _ : state) {
    regularFiles.clear();
    ::nftw(bundle.c_str(), collectFile, 64, FTW_PHYS);
    mirelo::Sha256 hash;
    bytes = 0;
    for (const std::string& file : regularFiles) {
      int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      ssize_t n;
      while ((n = ::read(fd, buffer.get(), 1 << 18)) > 0) {
        hash.update(buffer.get(), static_cast<size_t>(n));
        bytes += n;
      }
      ::close(fd);
    }
    benchmark::DoNotOptimize(hash.finish());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_OneSha256PassOverTheBytes)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
