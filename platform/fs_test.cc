#include "platform/fs.h"
#include "platform/tree.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/test_support.h"
#include "testing/unprivileged_user.h"

namespace mirelo::fs {
namespace {

using ::mirelo::testing::Immutable;
using ::mirelo::testing::namesIn;
using ::mirelo::testing::readFile;
using ::mirelo::testing::runShell;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;
namespace stdfs = std::filesystem;

int errnoOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().category(), std::generic_category());
    return error.code().value();
  }
  return 0;
}

FileIdentity identityOf(const stdfs::path& path) {
  struct stat status {};
  EXPECT_EQ(lstatPath(path.string(), &status), 0) << path;
  return {status.st_dev, status.st_ino};
}

// A tree with a bit of everything: hidden entries, nested and read-only folders, a link to
// a folder outside the tree and a link to a file outside it.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "tree";
    outside_ = dir_ / "outside";
    stdfs::create_directories(root_ / "a" / "b");
    stdfs::create_directories(root_ / ".hidden");
    stdfs::create_directories(outside_ / "keep");
    writeFile(outside_ / "keep" / "precious", "keep me");
    writeFile(root_ / "a" / "b" / "file", "x");
    writeFile(root_ / ".hidden" / ".dotfile", "y");
    writeFile(root_ / "top", "z");
    stdfs::create_directory_symlink(outside_ / "keep", root_ / "a" / "link-to-folder");
    stdfs::create_symlink(outside_ / "keep" / "precious", root_ / "link-to-file");
    ::chmod((root_ / "a" / "b").c_str(), 0500);
  }

  TempDir dir_;
  stdfs::path root_;
  stdfs::path outside_;
};

TEST_F(TreeTest, RemoveTreeRemovesEverythingAndNeverFollowsALink) {
  removeTree(root_.string());
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(root_)));
  EXPECT_EQ(readFile(outside_ / "keep" / "precious"), "keep me");
  EXPECT_EQ(namesIn(outside_ / "keep"), std::vector<std::string>{"precious"});
}

TEST_F(TreeTest, RemoveTreeRefusesWhatItCannotProve) {
  struct Case {
    const char* name;
    std::function<stdfs::path()> prepare;
    std::optional<FileIdentity> expected;
    int error;
  };
  const FileIdentity other{identityOf(outside_).device, identityOf(outside_).inode};
  const std::vector<Case> cases = {
      {"missing", [&] { return dir_ / "absent"; }, std::nullopt, ENOENT},
      {"link to the folder",
       [&] {
         stdfs::create_directory_symlink(root_, dir_ / "link");
         return dir_ / "link";
       },
       std::nullopt, ENOTDIR},
      {"plain file", [&] { return root_ / "top"; }, std::nullopt, ENOTDIR},
      {"another identity", [&] { return root_; }, other, ESTALE},
      {"dot component", [&] { return root_ / "."; }, std::nullopt, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const stdfs::path path = c.prepare();
    EXPECT_EQ(errnoOf([&] { removeTree(path.string(), c.expected); }), c.error);
    EXPECT_EQ(readFile(root_ / "a" / "b" / "file"), "x");
    EXPECT_EQ(readFile(outside_ / "keep" / "precious"), "keep me");
  }
}

TEST_F(TreeTest, RemoveTreeWithMatchingIdentity) {
  removeTree(root_.string(), identityOf(root_));
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(root_)));
}

TEST_F(TreeTest, RemoveTreeReportsTheFirstErrorAndRemovesTheRest) {
  Immutable immutable(root_ / "a" / "b" / "file");
  if (!immutable.applied()) GTEST_SKIP() << "chattr +i is not supported here (needs root and ext4/xfs/btrfs)";
  EXPECT_EQ(errnoOf([&] { removeTree(root_.string()); }), EPERM);
  // Only the immutable file and the folders that hold it remain.
  EXPECT_TRUE(stdfs::exists(root_ / "a" / "b" / "file"));
  EXPECT_EQ(namesIn(root_), std::vector<std::string>{"a"});
  EXPECT_EQ(namesIn(root_ / "a"), std::vector<std::string>{"b"});
  EXPECT_EQ(readFile(outside_ / "keep" / "precious"), "keep me");
}

TEST_F(TreeTest, RemoveTreeStopsAtAMountPoint) {
  const stdfs::path mountPoint = root_ / "a" / "mounted";
  stdfs::create_directory(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    stdfs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  writeFile(mountPoint / "other-volume", "keep me too");

  EXPECT_EQ(errnoOf([&] { removeTree(root_.string()); }), EXDEV);
  // The mounted volume is untouched; everything else that does not hold it is gone.
  EXPECT_EQ(readFile(mountPoint / "other-volume"), "keep me too");
  EXPECT_EQ(namesIn(root_), std::vector<std::string>{"a"});
  EXPECT_EQ(namesIn(root_ / "a"), std::vector<std::string>{"mounted"});
  EXPECT_EQ(readFile(outside_ / "keep" / "precious"), "keep me");
}

// An archive can give its folders any mode. As an ordinary user (root would pass every
// permission check and hide the fault), whatever was extracted must still be removable,
// and a folder whose identity is wrong must not even get its mode changed.
TEST(RemoveTreeAsOwner, RemovesFoldersThatDenyTheirOwnerAccess) {
  std::string whyNot;
  std::optional<testing::UnprivilegedUser> user = testing::unprivilegedUser(&whyNot);
  if (!user) GTEST_SKIP() << whyNot;
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  // The folder that holds the tree is the user's own, as the applications folder is.
  const stdfs::path root = dir / "applications" / "staging";
  const mode_t modes[] = {0000, 0100, 0200, 0300, 0400, 0500, 0600};
  for (mode_t mode : modes) {
    const stdfs::path folder = root / ("mode-" + std::to_string(mode)) / "inner";
    stdfs::create_directories(folder);
    writeFile(folder / "file", "x");
    ::chmod((folder / "file").c_str(), 0);
    ::chmod(folder.c_str(), mode);
    ::chmod(folder.parent_path().c_str(), mode);
  }
  ::chmod(root.c_str(), 0);
  testing::giveTo(*user, root.parent_path());

  struct stat before {};
  ASSERT_EQ(::lstat(root.c_str(), &before), 0);
  const FileIdentity wrong{before.st_dev, before.st_ino + 1};
  EXPECT_EQ(testing::runAsUser(*user, [&] { return errnoOf([&] { removeTree(root.string(), wrong); }); }), ESTALE);
  struct stat after {};
  ASSERT_EQ(::lstat(root.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0u) << "the mode was changed before the identity was checked";

  const FileIdentity right{before.st_dev, before.st_ino};
  EXPECT_EQ(testing::runAsUser(*user, [&] { return errnoOf([&] { removeTree(root.string(), right); }); }), 0);
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(root)));
}

// Every item of the tree, as the walk reports it; the walk's errors pass through.
std::vector<WalkEntry> walkAll(const stdfs::path& root, bool skipUnreadableFolders = false) {
  std::vector<WalkEntry> items;
  TreeWalk walk(openFolder(root.string(), false), skipUnreadableFolders);
  while (const WalkEntry* entry = walk.next()) items.push_back(*entry);
  return items;
}

TEST_F(TreeTest, WalkReportsEveryItemOnceFolderFirstWithoutEnteringLinks) {
  std::vector<std::string> order;
  std::set<std::string> links;
  for (const WalkEntry& entry : walkAll(root_)) {
    order.push_back(entry.path);
    if (entry.isLink()) links.insert(entry.path);
  }
  std::vector<std::string> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{".hidden", ".hidden/.dotfile", "a", "a/b", "a/b/file",
                                              "a/link-to-folder", "link-to-file", "top"}));
  EXPECT_EQ(links, (std::set<std::string>{"a/link-to-folder", "link-to-file"}));
  auto position = [&](const std::string& path) { return std::find(order.begin(), order.end(), path) - order.begin(); };
  EXPECT_LT(position("a"), position("a/b"));
  EXPECT_LT(position("a/b"), position("a/b/file"));
  EXPECT_LT(position(".hidden"), position(".hidden/.dotfile"));
}

TEST_F(TreeTest, WalkRefusesALinkAsItsRootAndAMissingRoot) {
  stdfs::create_directory_symlink(root_, dir_ / "link");
  EXPECT_NE(errnoOf([&] { walkAll(dir_ / "link"); }), 0);
  EXPECT_EQ(errnoOf([&] { walkAll(dir_ / "absent"); }), ENOENT);
}

TEST_F(TreeTest, WalkSkipsOrStopsAtAFolderItCannotOpen) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can open every folder, so none fails to open";
  ::chmod((root_ / "a").c_str(), 0);
  std::vector<std::string> seen;
  for (const WalkEntry& entry : walkAll(root_, true)) seen.push_back(entry.path);
  EXPECT_NE(std::find(seen.begin(), seen.end(), "a"), seen.end());
  EXPECT_EQ(std::find(seen.begin(), seen.end(), "a/b"), seen.end());
  EXPECT_EQ(errnoOf([&] { walkAll(root_); }), EACCES);
  ::chmod((root_ / "a").c_str(), 0700);
}

TEST(WriteFileAtomically, ReplacesTheFileAndLeavesNoTemporaryFile) {
  TempDir dir;
  const stdfs::path file = dir / "failure.json";
  writeFileAtomically(file.string(), "first");
  writeFileAtomically(file.string(), "second, longer");
  EXPECT_EQ(readFile(file), "second, longer");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"failure.json"});

  const mode_t old = ::umask(022);
  writeFileAtomically((dir / "private").string(), "", 0600);
  writeFileAtomically((dir / "public").string(), "");
  ::umask(old);
  EXPECT_EQ(stdfs::status(dir / "private").permissions(), stdfs::perms::owner_read | stdfs::perms::owner_write);
  EXPECT_EQ(stdfs::status(dir / "public").permissions(),
            stdfs::perms::owner_read | stdfs::perms::owner_write | stdfs::perms::group_read | stdfs::perms::others_read);
}

TEST(WriteFileAtomically, AFailedRenameLeavesTheDestinationAndRemovesTheTemporaryFile) {
  TempDir dir;
  // A non-empty folder cannot be replaced by a file.
  stdfs::create_directories(dir / "phase" / "inside");
  EXPECT_EQ(errnoOf([&] { writeFileAtomically((dir / "phase").string(), "installing"); }), EISDIR);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"phase"});
  EXPECT_EQ(namesIn(dir / "phase"), std::vector<std::string>{"inside"});
  EXPECT_EQ(errnoOf([&] { writeFileAtomically((dir / "absent" / "phase").string(), "x"); }), ENOENT);
}

// Where each way of failing leaves the destination, and which step it reports.
TEST(WriteFileAtomically, EveryFailureNamesItsStepAndLeavesNoTemporaryFile) {
  using Step = AtomicWriteError::Step;
  TempDir dir;
  stdfs::create_directories(dir / "work" / "busy" / "inside");
  stdfs::create_directory_symlink(dir / "work", dir / "linked");
  struct Case {
    const char* name;
    stdfs::path path;
    Step step;
    int error;
    bool written;  // whether the new file is in place afterwards
  };
  const Case cases[] = {
      {"folder missing", dir / "absent" / "f", Step::kWrite, ENOENT, false},
      {"NUL byte", std::string((dir / "work").string() + std::string("/f\0g", 4)), Step::kWrite, EINVAL, false},
      {"destination a folder with content", dir / "work" / "busy", Step::kRename, EISDIR, false},
      // The folder is flushed by its path, never through a final link: the file is in place.
      {"folder named through a link", dir / "linked" / "f", Step::kOpenFolder, ELOOP, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      writeFileAtomically(c.path.string(), "new", AtomicWriteOptions{".pending-", 0600, true});
      ADD_FAILURE() << "no error";
    } catch (const AtomicWriteError& error) {
      EXPECT_EQ(error.step(), c.step);
      EXPECT_EQ(error.code().value(), c.error);
    }
    EXPECT_EQ(stdfs::exists(dir / "work" / "f"), c.written);
    const std::vector<std::string> expected =
        c.written ? std::vector<std::string>{"busy", "f"} : std::vector<std::string>{"busy"};
    EXPECT_EQ(namesIn(dir / "work"), expected);
    stdfs::remove(dir / "work" / "f");
  }
}

TEST(WriteFileAtomically, TemporaryNameAndExactMode) {
  TempDir dir;
  const mode_t old = ::umask(0277);
  writeFileAtomically((dir / "claim.json").string(), "{}", AtomicWriteOptions{".pending-", 0600, true});
  writeFileAtomically((dir / "filtered").string(), "", AtomicWriteOptions{"", 0600, false});
  ::umask(old);
  struct stat status {};
  ASSERT_EQ(::lstat((dir / "claim.json").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  ASSERT_EQ(::lstat((dir / "filtered").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0400u);
  EXPECT_EQ(readFile(dir / "claim.json"), "{}");
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"claim.json", "filtered"}));

  // A temporary file left by an earlier crash is never reused or replaced.
  writeFile(dir / ".pending-stale", "debris");
  writeFileAtomically((dir / "claim.json").string(), "{\"a\":1}", AtomicWriteOptions{".pending-", 0600, true});
  EXPECT_EQ(readFile(dir / ".pending-stale"), "debris");
  EXPECT_EQ(readFile(dir / "claim.json"), "{\"a\":1}");
}

TEST(Rename, NoReplaceAndExchange) {
  TempDir dir;
  writeFile(dir / "a", "A");
  writeFile(dir / "b", "B");
  EXPECT_EQ(errnoOf([&] { renameNoReplace((dir / "a").string(), (dir / "b").string()); }), EEXIST);
  EXPECT_EQ(readFile(dir / "b"), "B");
  renameExchange((dir / "a").string(), (dir / "b").string());
  EXPECT_EQ(readFile(dir / "a"), "B");
  EXPECT_EQ(readFile(dir / "b"), "A");
  renameNoReplace((dir / "a").string(), (dir / "c").string());
  EXPECT_EQ(readFile(dir / "c"), "B");
  EXPECT_EQ(errnoOf([&] { renameExchange((dir / "a").string(), (dir / "c").string()); }), ENOENT);
}

TEST(Volume, AcceptedTypesAreExactlyTheLocalExchangeCapableOnes) {
  struct Case {
    const char* name;
    int64_t type;
    bool accepted;
  };
  const Case cases[] = {
      {"ext4", EXT4_SUPER_MAGIC, true},     {"xfs", XFS_SUPER_MAGIC, true},
      {"btrfs", BTRFS_SUPER_MAGIC, true},   {"f2fs", F2FS_SUPER_MAGIC, true},
      {"tmpfs", TMPFS_MAGIC, true},         {"nfs", NFS_SUPER_MAGIC, false},
      {"cifs", 0xFF534D42, false},          {"smb2", 0xFE534D42, false},
      {"fuse", FUSE_SUPER_MAGIC, false},    {"overlay", OVERLAYFS_SUPER_MAGIC, false},
      {"vfat", MSDOS_SUPER_MAGIC, false},   {"exfat", 0x2011BAB0, false},
      {"proc", PROC_SUPER_MAGIC, false},    {"ramfs", RAMFS_MAGIC, false},
      {"sysfs", SYSFS_MAGIC, false},        {"zero", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isAtomicExchangeVolume(c.type), c.accepted);
  }
}

TEST(Volume, InspectsARealVolume) {
  TempDir dir;
  const VolumeInfo volume = inspectVolume(dir.path().string());
  EXPECT_GT(volume.blockSize, 0u);
  EXPECT_GT(volume.blocksAvailable, 0u);
  EXPECT_EQ(inspectVolume("/proc").type, PROC_SUPER_MAGIC);
  EXPECT_EQ(errnoOf([&] { inspectVolume((dir / "absent").string()); }), ENOENT);
  UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  flushVolume(fd.get());
  EXPECT_EQ(errnoOf([] { flushVolume(-1); }), EBADF);
}

TEST(OpenNoFollow, RefusesAFinalLink) {
  TempDir dir;
  writeFile(dir / "file", "x");
  stdfs::create_symlink(dir / "file", dir / "link");
  EXPECT_TRUE(openNoFollow((dir / "file").string()).valid());
  EXPECT_EQ(errnoOf([&] { openNoFollow((dir / "link").string()); }), ELOOP);
  EXPECT_EQ(errnoOf([&] { openNoFollow(std::string("a\0b", 3)); }), EINVAL);
}

TEST(ReadSmallFile, ReadsOnlyASmallRegularFileItself) {
  TempDir dir;
  writeFile(dir / "record", "{\"a\":1}");
  writeFile(dir / "empty", "");
  writeFile(dir / "large", std::string(101, 'x'));
  writeFile(dir / "exact", std::string(100, 'x'));
  stdfs::create_symlink(dir / "record", dir / "link");
  stdfs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  struct Case {
    const char* name;
    stdfs::path path;
    int error;
    std::string content;
  };
  const Case cases[] = {
      {"record", dir / "record", 0, "{\"a\":1}"},
      {"empty", dir / "empty", 0, ""},
      {"exactly the limit", dir / "exact", 0, std::string(100, 'x')},
      {"one byte too many", dir / "large", EFBIG, ""},
      {"link", dir / "link", ELOOP, ""},
      {"folder", dir / "folder", EINVAL, ""},
      {"named pipe, never opened", dir / "pipe", EINVAL, ""},
      {"missing", dir / "missing", ENOENT, ""},
      {"NUL byte", std::string((dir / "record").string() + std::string("\0x", 2)), EINVAL, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string content;
    EXPECT_EQ(errnoOf([&] { content = readSmallFile(c.path.string(), 100); }), c.error);
    EXPECT_EQ(content, c.content);
  }
}

TEST(ReadSmallFile, AFileThatGrowsPastTheLimitIsRefused) {
  TempDir dir;
  // /proc files report size 0 to lstat and then deliver more than the limit.
  EXPECT_EQ(errnoOf([] { readSmallFile("/proc/self/maps", 8); }), EFBIG);
  EXPECT_NE(readSmallFile("/proc/self/maps", 1 << 20), "");
}

}  // namespace
}  // namespace mirelo::fs
