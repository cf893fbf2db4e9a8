// Black-box tests of the update helper's command line and instance lock: the real binary,
// a real work directory, and a lock held by this test process where a case needs one.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::ProcessResult;
using testing::TempDir;

ProcessResult runHelper(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {testing::programPath("mirelo-update-helper").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return testing::runProcess(argv);
}

// Every outcome of the entry point is an exit code: nothing reaches a stream.
void expectExit(const std::vector<std::string>& arguments, int code) {
  ProcessResult result = runHelper(arguments);
  EXPECT_EQ(result.exitCode, code);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

// Holds the work directory's lock the way another helper instance would.
class HeldLock {
 public:
  explicit HeldLock(const fs::path& directory)
      : fd_(::open((directory / "active.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldLock() { ::close(fd_); }

 private:
  int fd_;
};

TEST(HelperEntry, WrongArgumentCountExitsTwoWithoutTouchingAnything) {
  TempDir dir;
  const std::string d = dir.path();
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--probe"}, {d}, {"--probe", d, "extra"}, {"--prepare", d, d, d}};
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    expectExit(arguments, 2);
  }
  EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST(HelperEntry, ProbeOnIdleDirectoryExitsOneAndLeavesOwnerOnlyLockFile) {
  TempDir dir;
  expectExit({"--probe", dir.path()}, 1);
  struct stat info {};
  ASSERT_EQ(::lstat((dir / "active.lock").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"active.lock"});

  // The lock file is never removed: a second probe finds and reuses it.
  expectExit({"--probe", dir.path()}, 1);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"active.lock"});
}

TEST(HelperEntry, UnknownModeTakesTheLockThenExitsTwo) {
  TempDir dir;
  for (const std::string mode : {"--bogus", "--Probe", "probe", "", "--run-now", "--prepare "}) {
    SCOPED_TRACE(mode);
    expectExit({mode, dir.path()}, 2);
  }
  EXPECT_TRUE(fs::exists(dir / "active.lock"));
}

TEST(HelperEntry, LockHeldByAnotherProcess) {
  TempDir dir;
  HeldLock lock(dir.path());
  const struct {
    const char* mode;
    int code;
  } cases[] = {{"--probe", 0}, {"--prepare", 3}, {"--discard", 3}, {"--run", 2}, {"--bogus", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    expectExit({c.mode, dir.path()}, c.code);
  }
  // A refused contender writes nothing into the work directory.
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"active.lock"});
}

TEST(HelperEntry, UnusableLockFileExitsTwoInEveryMode) {
  TempDir dir;
  const fs::path missing = dir / "missing";
  const fs::path linked = dir / "linked";
  fs::create_directory(linked);
  testing::writeFile(dir / "elsewhere.lock", "");
  fs::create_symlink(dir / "elsewhere.lock", linked / "active.lock");
  const fs::path dangling = dir / "dangling";
  fs::create_directory(dangling);
  fs::create_symlink(dir / "nowhere.lock", dangling / "active.lock");
  const fs::path folderLock = dir / "folder-lock";
  fs::create_directories(folderLock / "active.lock");
  const fs::path notFolder = dir / "plain-file";
  testing::writeFile(notFolder, "");

  for (const fs::path& directory : {missing, linked, dangling, folderLock, notFolder}) {
    for (const std::string mode : {"--probe", "--prepare", "--discard", "--run"}) {
      SCOPED_TRACE(directory.string() + " " + mode);
      expectExit({mode, directory}, 2);
    }
  }
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_FALSE(fs::exists(dir / "nowhere.lock"));
  EXPECT_EQ(testing::readFile(dir / "elsewhere.lock"), "");
}

TEST(HelperEntry, TrailingSlashNamesTheSameLockFile) {
  TempDir dir;
  expectExit({"--probe", dir.path().string() + "/"}, 1);
  EXPECT_TRUE(fs::exists(dir / "active.lock"));
  HeldLock lock(dir.path());
  expectExit({"--probe", dir.path().string() + "/"}, 0);
  expectExit({"--prepare", dir.path().string() + "//"}, 3);
}

}  // namespace
}  // namespace mirelo
