#include "update-helper/install/volume.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace mirelo {
namespace {

using ::mirelo::testing::outcomeOf;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;
namespace stdfs = std::filesystem;
using install::requireRoom;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kReserve = AtomicInstall::kSpaceReserve;

TEST(SyncFile, FlushesFilesAndFoldersButNeverFollowsAFinalLink) {
  TempDir dir;
  writeFile(dir / "Info.plist", "<plist/>");
  stdfs::create_symlink(dir / "Info.plist", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  struct Case {
    stdfs::path path;
    const char* outcome;
  };
  const Case cases[] = {
      {dir / "Info.plist", "ok"},
      {dir.path(), "ok"},
      {dir / "link", "Cannot open update file"},
      {dir / "absent", "Cannot open update file"},
      // A named pipe opens without blocking and cannot be flushed.
      {dir / "pipe", "Cannot flush update file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::syncFile(c.path.string()); }), c.outcome);
  }
}

TEST(SyncVolume, FlushesTheVolumeOfALinksTarget) {
  TempDir dir;
  writeFile(dir / "Info.plist", "<plist/>");
  stdfs::create_symlink(dir / "Info.plist", dir / "link");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::syncVolume((dir / "link").string()); }), "ok");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::syncVolume(dir.path().string()); }), "ok");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::syncVolume((dir / "absent").string()); }), "Cannot open update volume");
  stdfs::create_symlink(dir / "absent", dir / "dangling");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::syncVolume((dir / "dangling").string()); }), "Cannot open update volume");
}

TEST(RequireAPFS, AcceptsLocalExchangeVolumesAndRefusesOthers) {
  TempDir dir;
  struct Case {
    stdfs::path path;
    const char* outcome;
  };
  const Case cases[] = {
      {dir.path(), "ok"},
      {"/dev/shm", "ok"},  // tmpfs
      {"/proc", "Atomic updates require a local APFS volume"},
      {"/sys", "Atomic updates require a local APFS volume"},
      {dir / "absent", "Cannot inspect update volume"},
  };
  std::string missing;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    // A container may lack one of the system's volumes; the cases it has are still checked.
    if (!stdfs::exists(c.path) && c.path != dir / "absent") {
      missing += " " + c.path.string();
      continue;
    }
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireAPFS(c.path); }), c.outcome);
  }
  if (!missing.empty()) GTEST_SKIP() << "not mounted on this machine, so not checked:" << missing;
}

TEST(RequireSpace, ChecksTheRealVolume) {
  TempDir dir;
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireSpace(dir.path(), 0); }), "ok");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireSpace(dir.path(), kMax - kReserve); }), "noSpace");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireSpace(dir / "absent", 0); }), "Cannot inspect update volume");
}

TEST(RequireRoom, ReserveAndOverflowRules) {
  struct Case {
    const char* name;
    uint64_t blocks;
    uint64_t blockSize;
    uint64_t bytes;
    const char* outcome;
  };
  const Case cases[] = {
      {"exactly bytes plus the reserve", (1000 + kReserve) / 8, 8, 1000, "ok"},
      {"one block less", (1000 + kReserve) / 8 - 1, 8, 1000, "noSpace"},
      {"one byte less", 1000 + kReserve - 1, 1, 1000, "noSpace"},
      {"exactly the reserve for nothing", kReserve, 1, 0, "ok"},
      {"empty volume", 0, 4096, 0, "noSpace"},
      {"sum overflows", kMax, 1, kMax - kReserve + 1, "noSpace"},
      {"largest sum that fits", kMax, 1, kMax - kReserve, "ok"},
      {"product overflows, sum would too", uint64_t{1} << 33, uint64_t{1} << 32, kMax, "ok"},
      {"product overflows by one block", kMax / 4096 + 1, 4096, 1, "ok"},
      {"largest product that fits", kMax / 4096, 4096, kMax - kReserve, "noSpace"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcomeOf([&] { requireRoom(c.blocks, c.blockSize, c.bytes); }), c.outcome);
  }
}

}  // namespace
}  // namespace mirelo
