#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using install::InventoryCancellation;

// SHA-256 of a hand-built listing, as lower-case hex.
std::string digestOf(const std::string& listing) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(listing.data()), listing.size(), digest);
  std::string hex;
  for (unsigned char byte : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

void setTime(const fs::path& path, time_t seconds, long nanoseconds) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string failureOf(const fs::path& bundle) {
  try {
    AtomicInstall::inventory(bundle);
    return "";
  } catch (const InstallFailure& failure) {
    return failure.message();
  }
}

off_t sizeOf(const fs::path& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

std::string record(const std::string& path, const std::string& kind, const std::string& mode, off_t size,
                   const std::string& time) {
  return path + '\0' + kind + '\0' + mode + '\0' + std::to_string(size) + '\0' + time + '\n';
}

TEST(InventoryTest, WorkedExample) {
  TempDir dir;
  fs::path bundle = dir / "Mirelo.app";
  fs::create_directories(bundle / "Contents");
  writeFile(bundle / "Contents/Info.plist", "<plist/>\n\n\n\n");
  ASSERT_EQ(::chmod((bundle / "Contents/Info.plist").c_str(), 0644), 0);
  setTime(bundle / "Contents/Info.plist", 100, 5);
  ASSERT_EQ(::chmod((bundle / "Contents").c_str(), 0755), 0);
  setTime(bundle / "Contents", 1700000000, 120000000);

  // Nanoseconds lose their leading zeros only: 5 ns is ".5", 0.12 s is ".120000000".
  std::string listing = std::string("Contents") + '\0' + "d" + '\0' + "493" + '\0' +
                        std::to_string(sizeOf(bundle / "Contents")) + '\0' + "1700000000.120000000" + '\n' +
                        "Contents/Info.plist" + '\0' + "f" + '\0' + "420" + '\0' + "12" + '\0' + "100.5" + '\n';
  EXPECT_EQ(AtomicInstall::inventory(bundle), digestOf(listing));
}

TEST(InventoryTest, LinksAreListedByTargetAndNotDescended) {
  TempDir dir;
  fs::path bundle = dir / "Mirelo.app";
  fs::create_directories(bundle / "Contents");
  fs::create_directories(dir / "elsewhere");
  writeFile(dir / "elsewhere/file", "x");
  fs::create_directory_symlink("../../elsewhere", bundle / "Contents/Link");
  setTime(bundle / "Contents/Link", 7, 0);
  ASSERT_EQ(::chmod((bundle / "Contents").c_str(), 0750), 0);
  setTime(bundle / "Contents", 8, 999999999);

  std::string listing = record("Contents", "d", "488", sizeOf(bundle / "Contents"), "8.999999999") +
                        record("Contents/Link", "l>../../elsewhere", "511", 15, "7.0");
  EXPECT_EQ(AtomicInstall::inventory(bundle), digestOf(listing));
}

TEST(InventoryTest, SortsByScalarValuesAfterCompositionAndHashesTheOriginalBytes) {
  TempDir dir;
  fs::path bundle = dir / "Mirelo.app";
  fs::create_directories(bundle);
  // "A" + COMBINING RING ABOVE composes to U+00C5, which sorts after "B"; by raw bytes it
  // would sort before.
  const std::string decomposed = "A\xCC\x8A";
  writeFile(bundle / decomposed, "");
  writeFile(bundle / "B", "");
  for (const std::string& name : {decomposed, std::string("B")}) {
    ::chmod((bundle / name).c_str(), 0600);
    setTime(bundle / name, 1, 1);
  }
  std::string listing = record("B", "f", "384", 0, "1.1") + record(decomposed, "f", "384", 0, "1.1");
  EXPECT_EQ(AtomicInstall::inventory(bundle), digestOf(listing));
}

class InventoryChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bundle_ / "Contents/MacOS");
    fs::create_directories(bundle_ / "Contents/Resources");
    writeFile(bundle_ / "Contents/Info.plist", "plist");
    writeFile(bundle_ / "Contents/MacOS/Mirelo", "binary");
    writeFile(bundle_ / "Contents/Resources/a.txt", "a");
    writeFile(bundle_ / "Contents/Resources/.hidden", "h");
    fs::create_symlink("a.txt", bundle_ / "Contents/Resources/link");
    for (const char* path : {"Contents/Info.plist", "Contents/MacOS/Mirelo", "Contents/Resources/a.txt",
                             "Contents/Resources/.hidden", "Contents/Resources/link"}) {
      setTime(bundle_ / path, 1000, 1);
    }
    before_ = AtomicInstall::inventory(bundle_);
  }

  TempDir dir_;
  fs::path bundle_ = dir_ / "Mirelo.app";
  std::string before_;
};

TEST_F(InventoryChangeTest, EveryRecordedPropertyChangesTheDigest) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  };
  const Case cases[] = {
      {"modification time", [](const fs::path& b) { setTime(b / "Contents/Resources/a.txt", 1000, 2); }},
      {"permission bit", [](const fs::path& b) { ::chmod((b / "Contents/MacOS/Mirelo").c_str(), 0700); }},
      {"set-user-ID bit",
       [](const fs::path& b) {
         struct stat s;
         ::lstat((b / "Contents/MacOS/Mirelo").c_str(), &s);
         ::chmod((b / "Contents/MacOS/Mirelo").c_str(), (s.st_mode & 0777) | S_ISUID);
       }},
      {"size, same time",
       [](const fs::path& b) {
         writeFile(b / "Contents/Resources/a.txt", "ab");
         setTime(b / "Contents/Resources/a.txt", 1000, 1);
       }},
      {"link retargeted",
       [](const fs::path& b) {
         fs::remove(b / "Contents/Resources/link");
         fs::create_symlink("a.tx_", b / "Contents/Resources/link");
         setTime(b / "Contents/Resources/link", 1000, 1);
       }},
      {"file replaced by a link",
       [](const fs::path& b) {
         fs::remove(b / "Contents/Resources/a.txt");
         fs::create_symlink(".hidden", b / "Contents/Resources/a.txt");
       }},
      {"hidden file removed", [](const fs::path& b) { fs::remove(b / "Contents/Resources/.hidden"); }},
      {"empty folder added", [](const fs::path& b) { fs::create_directory(b / "Contents/Empty"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(bundle_);
    SetUp();
    c.change(bundle_);
    EXPECT_NE(AtomicInstall::inventory(bundle_), before_);
  }
}

TEST_F(InventoryChangeTest, TheBundleFolderItselfIsNotRecorded) {
  ASSERT_EQ(::chmod(bundle_.c_str(), 0700), 0);
  setTime(bundle_, 5, 5);
  EXPECT_EQ(AtomicInstall::inventory(bundle_), before_);
  // Reading the tree changes nothing, so the digest is stable.
  EXPECT_EQ(AtomicInstall::inventory(bundle_), before_);
}

// tmpfs lists a folder's entries newest first, so two trees made in opposite orders are
// walked in opposite orders there.
TEST(InventoryOrderTest, TheWalkOrderDoesNotMatter) {
  struct statfs volume;
  if (::statfs("/dev/shm", &volume) != 0 || volume.f_type != 0x01021994) {
    GTEST_SKIP() << "needs a tmpfs at /dev/shm to control the listing order";
  }
  char pattern[] = "/dev/shm/mirelo-inventory-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  fs::path root = pattern;
  const std::vector<std::string> names = {"a", "b", "c.d", "Z", "é", "e\xCC\x81x"};
  std::string digests[2];
  for (int round = 0; round < 2; ++round) {
    fs::path bundle = root / std::to_string(round);
    fs::create_directories(bundle / "Contents");
    std::vector<std::string> order = names;
    if (round == 1) std::reverse(order.begin(), order.end());
    for (const std::string& name : order) {
      writeFile(bundle / "Contents" / name, name);
      ::chmod((bundle / "Contents" / name).c_str(), 0644);
      setTime(bundle / "Contents" / name, 42, 42);
    }
    ::chmod((bundle / "Contents").c_str(), 0755);
    setTime(bundle / "Contents", 43, 0);
    digests[round] = AtomicInstall::inventory(bundle);
  }
  std::vector<std::string> listed[2];
  for (int round = 0; round < 2; ++round) {
    for (const auto& entry : fs::directory_iterator(root / std::to_string(round) / "Contents")) {
      listed[round].push_back(entry.path().filename());
    }
  }
  fs::remove_all(root);
  EXPECT_NE(listed[0], listed[1]) << "the file system listed both trees in the same order";
  EXPECT_EQ(digests[0], digests[1]);
}

TEST(InventoryFailureTest, RefusedTrees) {
  TempDir dir;
  fs::create_directories(dir / "Empty.app");
  fs::create_directories(dir / "Pipe.app/Contents");
  ASSERT_EQ(::mkfifo((dir / "Pipe.app/Contents/fifo").c_str(), 0644), 0);
  fs::create_directories(dir / "Socket.app/Contents/Resources");
  {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string path = (dir / "Socket.app/Contents/Resources/s").string();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  fs::create_directories(dir / "Real.app/Contents");
  fs::create_directory_symlink(dir / "Real.app", dir / "Link.app");

  struct Case {
    const char* bundle;
    const char* message;
  };
  const Case cases[] = {
      {"Empty.app", "Cannot inspect update"},
      {"Missing.app", "Cannot inspect update"},
      {"Link.app", "Cannot inspect update"},
      {"Pipe.app", "Unexpected update entry"},
      {"Socket.app", "Unexpected update entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bundle);
    EXPECT_EQ(failureOf(dir / c.bundle), c.message);
  }
}

// The walk of an adoption passes a cancellation checkpoint every 256 items, so a
// cancellation does not wait for the digest of a large bundle; the walk of a preparation,
// whose candidate is verified by then, passes none.
TEST(InventoryCancellationTest, CheckpointEvery256ItemsAndStopsWhenCancelled) {
  TempDir dir;
  const fs::path bundle = dir / "Big.app";
  fs::create_directories(bundle / "Contents");
  // The folder "Contents" and 599 files: 600 items.
  for (int i = 0; i < 599; ++i) writeFile(bundle / "Contents" / ("f" + std::to_string(i)), "x");
  ChildProcesses& registry = ChildProcesses::shared();
  registry.resetForTesting();
  int checkpoints = 0;
  registry.setCheckpointForTesting([&] { ++checkpoints; });
  EXPECT_EQ(testing::outcomeOf([&] { AtomicInstall::inventory(bundle, InventoryCancellation::kObserved); }), "ok");
  EXPECT_EQ(checkpoints, 2);

  registry.cancel();
  EXPECT_EQ(testing::outcomeOf([&] { AtomicInstall::inventory(bundle); }), "ok");
  registry.resetForTesting();
  registry.setCheckpointForTesting([&] { ++checkpoints; });

  for (int cancelAt : {1, 2}) {
    SCOPED_TRACE(cancelAt);
    checkpoints = 0;
    registry.resetForTesting();
    registry.setCheckpointForTesting([&] {
      if (++checkpoints == cancelAt) ChildProcesses::shared().cancel();
    });
    EXPECT_EQ(testing::outcomeOf([&] { AtomicInstall::inventory(bundle, InventoryCancellation::kObserved); }),
              "cancelled");
    EXPECT_EQ(checkpoints, cancelAt);
  }
  registry.resetForTesting();
}

}  // namespace
}  // namespace mirelo
