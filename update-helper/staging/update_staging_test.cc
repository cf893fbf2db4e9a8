#include "update-helper/staging/update_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

using ::mirelo::testing::errnoOutcome;
using ::mirelo::testing::outcomeOf;
using ::mirelo::testing::readFile;
using ::mirelo::testing::runShell;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;
namespace stdfs = std::filesystem;

constexpr const char* kName = ".mirelo-update-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2D";

struct stat lstatOf(const stdfs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

bool present(const stdfs::path& path) { return stdfs::exists(stdfs::symlink_status(path)); }

// Makes a file immutable while the object lives, when the machine allows it.
class ImmutableFile {
 public:
  explicit ImmutableFile(const stdfs::path& path) : path_(path) {
    applied_ = runShell("chattr +i '" + path_.string() + "' 2>/dev/null").exitCode == 0;
  }
  ~ImmutableFile() { release(); }
  void release() {
    if (applied_) runShell("chattr -i '" + path_.string() + "'");
    applied_ = false;
  }
  bool applied() const { return applied_; }

 private:
  stdfs::path path_;
  bool applied_ = false;
};

TEST(UpdateStagingCreate, MakesAnEmptyOwnerOnlyFolderWithARecordedIdentity) {
  TempDir dir;
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    const mode_t old = ::umask(mask);
    UpdateStaging staging(dir.path());
    ::umask(old);
    EXPECT_EQ(staging.directory().parent_path(), dir.path());
    EXPECT_TRUE(UpdateStaging::isStagingName(staging.directory().filename().string()));
    const struct stat status = lstatOf(staging.directory());
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(static_cast<dev_t>(staging.device()), status.st_dev);
    EXPECT_EQ(staging.inode(), status.st_ino);
    EXPECT_TRUE(stdfs::is_empty(staging.directory()));
  }
  // Three creations, three different names.
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir.path()), stdfs::directory_iterator()), 3);
}

TEST(UpdateStagingCreate, PassesTheCreationErrorOnUnchanged) {
  TempDir dir;
  writeFile(dir / "file", "");
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(dir / "absent"); }), errnoOutcome(ENOENT));
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(dir / "file"); }), errnoOutcome(ENOTDIR));
}

TEST(UpdateStagingCreate, DropsNothingOnDestruction) {
  TempDir dir;
  stdfs::path folder;
  {
    UpdateStaging staging(dir.path());
    folder = staging.directory();
  }
  EXPECT_TRUE(stdfs::is_directory(folder));
}

TEST(UpdateStagingName, MatchesOnlyUpperCaseCanonicalUuids) {
  struct Case {
    std::string name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {kName, true},
      {".mirelo-update-0f8b1c2d-3e4f-4a5b-8c6d-7e8f9a0b1c2d", false},
      {".mirelo-update-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2d", false},
      {std::string(kName) + "x", false},
      {std::string("x") + kName, false},
      {std::string(kName) + "\n", false},
      {"mirelo-update-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2D", false},
      {".mirelo-update-0F8B1C2D3E4F4A5B8C6D7E8F9A0B1C2D", false},
      {".mirelo-update-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2G", false},
      {std::string(kName, 10) + std::string(1, '\0') + (kName + 11), false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(UpdateStaging::isStagingName(c.name), c.matches);
  }
}

TEST(UpdateStagingName, RecordsOnlyDevicesThatFitTheSignedField) {
  struct Case {
    dev_t device;
    std::optional<int32_t> recorded;
  };
  const Case cases[] = {
      {0, 0},
      {65024, 65024},
      {0x7FFFFFFF, 0x7FFFFFFF},
      {0x80000000, std::nullopt},
      {0xFFFFFFFF, std::nullopt},
      {dev_t{1} << 32, std::nullopt},
      {(dev_t{1} << 32) | 65024, std::nullopt},
      {std::numeric_limits<dev_t>::max(), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    EXPECT_EQ(UpdateStaging::recordableDevice(c.device), c.recorded);
  }
}

class UpdateStagingAdopt : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_ / kName;
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder_.c_str(), 0700), 0);
    const struct stat status = lstatOf(folder_);
    device_ = static_cast<int32_t>(status.st_dev);
    inode_ = status.st_ino;
    writeFile(folder_ / "content", "kept");
  }

  TempDir dir_;
  stdfs::path folder_;
  int32_t device_ = 0;
  uint64_t inode_ = 0;
};

TEST_F(UpdateStagingAdopt, AcceptsOnlyTheRecordedFolder) {
  struct Case {
    const char* name;
    std::function<stdfs::path()> prepare;  // returns the path to adopt
    int32_t deviceOffset;
    uint64_t inodeOffset;
    const char* outcome;
  };
  const std::string lower = ".mirelo-update-0f8b1c2d-3e4f-4a5b-8c6d-7e8f9a0b1c2d";
  const std::vector<Case> cases = {
      {"the recorded folder", [&] { return folder_; }, 0, 0, "ok"},
      {"trailing slash", [&] { return folder_ / ""; }, 0, 0, "ok"},
      {"lower-case name",
       [&] {
         stdfs::create_directory(dir_ / lower);
         return dir_ / lower;
       },
       0, 0, "Unexpected update folder"},
      {"extra character",
       [&] {
         stdfs::create_directory(dir_ / (std::string(kName) + "0"));
         return dir_ / (std::string(kName) + "0");
       },
       0, 0, "Unexpected update folder"},
      {"other inode", [&] { return folder_; }, 0, 1, "Update folder identity changed"},
      {"other device", [&] { return folder_; }, 1, 0, "Update folder identity changed"},
      {"missing",
       [&] { return dir_ / ".mirelo-update-00000000-0000-0000-0000-000000000000"; },
       0, 0, "Update folder identity changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const stdfs::path path = c.prepare();
    EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(path, device_ + c.deviceOffset, inode_ + c.inodeOffset); }),
              c.outcome);
  }
  EXPECT_EQ(readFile(folder_ / "content"), "kept");
}

TEST_F(UpdateStagingAdopt, RefusesAChangedFolderAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const stdfs::path moved = dir_ / "moved";
  const std::vector<Case> cases = {
      {"mode 750", [&] { ::chmod(folder_.c_str(), 0750); }},
      {"mode 701", [&] { ::chmod(folder_.c_str(), 0701); }},
      {"owned by someone else", [&] { ASSERT_EQ(::lchown(folder_.c_str(), 65534, 65534), 0); }},
      {"deleted and created again",
       [&] {
         stdfs::rename(folder_, moved);
         stdfs::create_directory(folder_);
         ::chmod(folder_.c_str(), 0700);
       }},
      {"a link to the folder",
       [&] {
         stdfs::rename(folder_, moved);
         stdfs::create_directory_symlink(moved, folder_);
       }},
      {"a file", [&] {
         stdfs::rename(folder_, moved);
         writeFile(folder_, "");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "owned by someone else" && ::geteuid() != 0) continue;  // needs root to chown
    c.change();
    EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_, device_, inode_); }), "Update folder identity changed");
    // Put the recorded folder back for the next case.
    if (present(moved)) {
      stdfs::remove_all(folder_);
      stdfs::rename(moved, folder_);
    }
    ::lchown(folder_.c_str(), ::getuid(), ::getgid());
    ::chmod(folder_.c_str(), 0700);
    EXPECT_EQ(readFile(folder_ / "content"), "kept");
    EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_, device_, inode_); }), "ok");
  }
}

TEST_F(UpdateStagingAdopt, ALinkIsRefusedWithOrWithoutATrailingSlash) {
  const stdfs::path moved = dir_ / "moved";
  stdfs::rename(folder_, moved);
  stdfs::create_directory_symlink(moved, folder_);
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_, device_, inode_); }), "Update folder identity changed");
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_ / "", device_, inode_); }), "Update folder identity changed");
}

TEST_F(UpdateStagingAdopt, ANegativeDeviceNeverMatches) {
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_, -1, inode_); }), "Update folder identity changed");
  EXPECT_EQ(outcomeOf([&] { UpdateStaging staging(folder_, device_ | std::numeric_limits<int32_t>::min(), inode_); }),
            "Update folder identity changed");
}

// Cleanup on a real tree next to a folder that must survive.
class UpdateStagingCleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    outside_ = dir_ / "Mirelo.app";
    stdfs::create_directories(outside_ / "Contents");
    writeFile(outside_ / "Contents" / "Info.plist", "installed");
  }

  UpdateStaging filled() {
    UpdateStaging staging(dir_.path());
    const stdfs::path d = staging.directory();
    stdfs::create_directories(d / "prepared" / "Contents" / "MacOS");
    writeFile(d / "prepared" / "Contents" / "MacOS" / "Mirelo", "new");
    writeFile(d / "prepared" / ".hidden", "");
    stdfs::create_directory_symlink(outside_, d / "prepared" / "Contents" / "Link");
    stdfs::create_symlink(outside_ / "Contents" / "Info.plist", d / "file-link");
    ::chmod((d / "prepared" / "Contents").c_str(), 0555);
    return staging;
  }

  void expectOutsideIntact() { EXPECT_EQ(readFile(outside_ / "Contents" / "Info.plist"), "installed"); }

  TempDir dir_;
  stdfs::path outside_;
};

TEST_F(UpdateStagingCleanup, RemovesTheWholeTreeWithoutFollowingLinks) {
  UpdateStaging staging = filled();
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
  EXPECT_FALSE(present(staging.directory()));
  expectOutsideIntact();
}

TEST_F(UpdateStagingCleanup, AGoneFolderCountsAsRemovedForGood) {
  UpdateStaging staging = filled();
  ::chmod((staging.directory() / "prepared" / "Contents").c_str(), 0755);
  stdfs::remove_all(staging.directory());
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
  // Once known to be gone, a folder created again under the same name is not touched.
  stdfs::create_directory(staging.directory());
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
  EXPECT_TRUE(stdfs::is_directory(staging.directory()));
}

TEST_F(UpdateStagingCleanup, KeepsThePreviousApplicationUntilStartupIsConfirmed) {
  UpdateStaging staging = filled();
  staging.didReplace();
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(false); }), "ok");
  EXPECT_TRUE(stdfs::is_directory(staging.directory()));
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(true); }), "ok");
  EXPECT_FALSE(present(staging.directory()));
  expectOutsideIntact();
}

TEST_F(UpdateStagingCleanup, AdoptedFolderIsRemoved) {
  stdfs::path path;
  int32_t device;
  uint64_t inode;
  {
    UpdateStaging created = filled();
    path = created.directory();
    device = created.device();
    inode = created.inode();
  }
  UpdateStaging adopted(path, device, inode);
  EXPECT_EQ(outcomeOf([&] { adopted.cleanup(); }), "ok");
  EXPECT_FALSE(present(path));
  expectOutsideIntact();
}

TEST_F(UpdateStagingCleanup, LeavesAnythingThatReplacedTheFolderAlone) {
  struct Case {
    const char* name;
    std::function<void(const stdfs::path&)> replace;
    const char* outcome;
  };
  const std::vector<Case> cases = {
      {"a plain file", [](const stdfs::path& p) { writeFile(p, "not yours"); }, "Update folder identity changed"},
      {"another folder",
       [](const stdfs::path& p) {
         stdfs::create_directory(p);
         writeFile(p / "inside", "not yours");
       },
       "Update folder identity changed"},
      {"a link to the installed application",
       [&](const stdfs::path& p) { stdfs::create_directory_symlink(outside_, p); }, "Update folder identity changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateStaging staging = filled();
    const stdfs::path aside = dir_ / "aside";
    stdfs::rename(staging.directory(), aside);
    c.replace(staging.directory());
    EXPECT_EQ(outcomeOf([&] { staging.cleanup(true); }), c.outcome);
    EXPECT_TRUE(present(staging.directory()));
    if (stdfs::is_regular_file(stdfs::symlink_status(staging.directory()))) {
      EXPECT_EQ(readFile(staging.directory()), "not yours");
    } else if (stdfs::is_directory(stdfs::symlink_status(staging.directory()))) {
      EXPECT_EQ(readFile(staging.directory() / "inside"), "not yours");
    }
    expectOutsideIntact();
    // The original folder, put back, is still removed by the same object.
    stdfs::remove_all(staging.directory());
    stdfs::rename(aside, staging.directory());
    EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
    EXPECT_FALSE(present(staging.directory()));
  }
}

TEST_F(UpdateStagingCleanup, CannotInspectWhenThePathCannotBeExamined) {
  const stdfs::path parent = dir_ / "Applications";
  stdfs::create_directory(parent);
  UpdateStaging staging(parent);
  // The folder's parent becomes a file: lstat fails with ENOTDIR.
  stdfs::rename(parent, dir_ / "aside");
  writeFile(parent, "");
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "Cannot inspect update folder");
  stdfs::remove(parent);
  stdfs::rename(dir_ / "aside", parent);
  EXPECT_TRUE(stdfs::is_directory(staging.directory()));
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
}

TEST_F(UpdateStagingCleanup, AnImmutableFileDefeatsEveryAttemptAndALaterCallFinishes) {
  UpdateStaging staging = filled();
  const stdfs::path stuck = staging.directory() / "prepared" / "Contents" / "MacOS" / "Mirelo";
  ImmutableFile immutable(stuck);
  if (!immutable.applied()) GTEST_SKIP() << "chattr +i is not supported here (needs root and ext4/xfs/btrfs)";
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), errnoOutcome(EPERM));
  EXPECT_TRUE(present(stuck));
  EXPECT_FALSE(present(staging.directory() / "file-link"));
  expectOutsideIntact();
  immutable.release();
  EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), "ok");
  EXPECT_FALSE(present(staging.directory()));
}

TEST_F(UpdateStagingCleanup, MakesFourAttemptsAndReportsTheLastError) {
  struct Case {
    const char* name;
    // What each removal attempt does (called with the folder and the attempt number, from 1).
    std::function<void(const stdfs::path&, int)> removal;
    int expectedAttempts;
    const char* outcome;
  };
  const std::vector<Case> cases = {
      {"removal reports success but nothing goes", [](const stdfs::path&, int) {}, 4, "Cannot remove update folder"},
      {"every removal fails",
       [](const stdfs::path&, int attempt) { throw std::system_error(attempt == 4 ? EBUSY : EIO, std::generic_category()); },
       4, "errno 16"},
      {"a failure is remembered past later silent attempts",
       [](const stdfs::path&, int attempt) {
         if (attempt == 2) throw std::system_error(EIO, std::generic_category());
       },
       4, "errno 5"},
      {"the third attempt succeeds",
       [](const stdfs::path& folder, int attempt) {
         if (attempt < 3) throw std::system_error(EBUSY, std::generic_category());
         stdfs::remove_all(folder);
       },
       3, "ok"},
      {"the folder is replaced during an attempt",
       [](const stdfs::path& folder, int) {
         stdfs::rename(folder, folder.parent_path() / "aside");
         stdfs::create_directory(folder);
       },
       1, "Update folder identity changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateStaging staging(dir_.path());
    int attempts = 0;
    staging.setRemovalForTesting([&](const stdfs::path& folder) { c.removal(folder, ++attempts); });
    EXPECT_EQ(outcomeOf([&] { staging.cleanup(); }), c.outcome);
    EXPECT_EQ(attempts, c.expectedAttempts);
    stdfs::remove_all(dir_ / "aside");
    stdfs::remove_all(staging.directory());
  }
  expectOutsideIntact();
}

}  // namespace
}  // namespace mirelo
