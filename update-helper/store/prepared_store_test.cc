#include "update-helper/store/prepared_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

using ::mirelo::testing::namesIn;
using ::mirelo::testing::outcomeOf;
using ::mirelo::testing::readFile;
using ::mirelo::testing::runShell;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;
namespace stdfs = std::filesystem;

bool present(const stdfs::path& path) { return stdfs::exists(stdfs::symlink_status(path)); }

// A work directory P, the folder that holds the installed application (where staging
// folders go) and a session directory F.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(work_);
    stdfs::create_directories(applications_ / "Mirelo.app" / "Contents");
    writeFile(applications_ / "Mirelo.app" / "Contents" / "Info.plist", "installed");
    stdfs::create_directories(session_);
  }

  // A real staging folder with a parked candidate, a link out of it and a read-only folder.
  StagingClaim makeStaging() {
    UpdateStaging staging(applications_);
    const stdfs::path d = staging.directory();
    stdfs::create_directories(d / "prepared" / "Contents" / "MacOS");
    writeFile(d / "prepared" / "Contents" / "MacOS" / "Mirelo", "new");
    stdfs::create_directory_symlink(applications_ / "Mirelo.app", d / "prepared" / "Contents" / "Installed");
    ::chmod((d / "prepared" / "Contents").c_str(), 0555);
    return StagingClaim{d.string(), staging.device(), staging.inode()};
  }

  PreparedCandidate candidateFor(const StagingClaim& claim) {
    PreparedCandidate c;
    c.version = "3.2.0";
    c.tag = "stable-3.2.0";
    c.target = (applications_ / "Mirelo.app").string();
    c.staging = claim.staging;
    c.stagingDevice = claim.stagingDevice;
    c.stagingInode = claim.stagingInode;
    c.bundle = "Mirelo.app";
    c.candidateInode = 42;
    c.inventory = std::string(64, '0');
    c.cdhash = std::string(40, '1');
    return c;
  }

  void expectInstalledIntact() {
    EXPECT_EQ(readFile(applications_ / "Mirelo.app" / "Contents" / "Info.plist"), "installed");
  }

  TempDir dir_;
  stdfs::path work_ = dir_ / "work";
  stdfs::path applications_ = dir_ / "Applications";
  stdfs::path session_ = dir_ / "session";
  PreparedStore store_{work_};
};

// ---- readRequest() ----

TEST_F(StoreTest, ReadRequestAppliesEveryRule) {
  const std::string zip = "/Users/Shared/Mirelo Updates/Mirelo-3.2.0.zip";
  const std::string exe = "/Applications/Mirelo.app/Contents/MacOS/Mirelo";
  struct Case {
    PrepareRequest request;
    bool valid;
  };
  const std::vector<Case> cases = {
      {{zip, exe, "3.2.0", "stable-3.2.0"}, true},
      {{zip, exe, "2.0.1+build.7", "stable"}, true},
      {{zip, exe, "3.2.0", "2.0.1+build.7"}, false},
      {{zip, exe, std::string(64, 'v'), std::string(128, 't')}, true},
      {{zip, exe, std::string(65, 'v'), "t"}, false},
      {{zip, exe, "3.2.0", std::string(129, 't')}, false},
      {{zip, exe, "", "t"}, false},
      {{zip, exe, "3.2.0", ""}, false},
      {{zip, exe, "3.2 0", "t"}, false},
      {{zip, exe, "3.2.0\n", "t"}, false},
      {{zip, exe, "3.2.\xC3\xA9", "t"}, false},
      {{zip, exe, "3.2.0", "a/b"}, false},
      {{"/u/Mirelo.ZIP", exe, "3.2.0", "t"}, false},
      {{"update.zip", exe, "3.2.0", "t"}, false},
      {{"/u/update.zip.part", exe, "3.2.0", "t"}, false},
      {{zip, "Mirelo.app/Contents/MacOS/Mirelo", "3.2.0", "t"}, false},
      {{std::string("/u/a\0b.zip", 10), exe, "3.2.0", "t"}, false},
      {{zip, std::string("/A/M\0x", 6), "3.2.0", "t"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(encodeRecord(c.request).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    const std::string text = encodeRecord(c.request).dump();
    writeFile(store_.requestPath(), text);
    if (c.valid) {
      EXPECT_EQ(store_.readRequest(), c.request);
    } else {
      EXPECT_EQ(outcomeOf([&] { store_.readRequest(); }), "Invalid update request");
    }
    EXPECT_EQ(readFile(store_.requestPath()), text);
  }
}

TEST_F(StoreTest, ReadRequestRefusesUnusableFiles) {
  const std::string good = encodeRecord(PrepareRequest{"/u/M.zip", "/A/M", "1", "t"}).dump();
  struct Case {
    const char* name;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"missing", [] {}},
      {"a link to a good request",
       [&] {
         writeFile(dir_ / "elsewhere.json", good);
         stdfs::create_symlink(dir_ / "elsewhere.json", store_.requestPath());
       }},
      {"a folder", [&] { stdfs::create_directory(store_.requestPath()); }},
      {"too large", [&] { writeFile(store_.requestPath(), good + std::string(16385 - good.size(), ' ')); }},
      {"not JSON", [&] { writeFile(store_.requestPath(), "archive=/u/M.zip"); }},
      {"a key missing", [&] { writeFile(store_.requestPath(), R"({"archive":"/u/M.zip","executable":"/A/M","version":"1"})"); }},
      {"a number for a string",
       [&] { writeFile(store_.requestPath(), R"({"archive":"/u/M.zip","executable":"/A/M","version":1,"tag":"t"})"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stdfs::remove_all(store_.requestPath());
    c.prepare();
    EXPECT_EQ(outcomeOf([&] { store_.readRequest(); }), "Invalid update request");
  }
  writeFile(store_.requestPath(), good + std::string(16384 - good.size(), ' '));
  EXPECT_EQ(outcomeOf([&] { store_.readRequest(); }), "ok");
}

// ---- discard() ----

TEST_F(StoreTest, DiscardWithoutRecordsChangesNothing) {
  writeFile(work_ / "request.json", "{}");
  writeFile(work_ / "failure.json", "{}");
  writeFile(work_ / ".pending-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2D", "debris");
  const auto before = namesIn(work_);
  store_.discard();
  EXPECT_EQ(namesIn(work_), before);
}

TEST_F(StoreTest, DiscardRemovesProvenFoldersAndTheirRecords) {
  const StagingClaim claimed = makeStaging();
  const StagingClaim prepared = makeStaging();
  writeRecord(claimed, store_.claimPath());
  writeRecord(candidateFor(prepared), store_.recordPath());
  writeFile(work_ / "failure.json", "{}");
  store_.discard();
  EXPECT_FALSE(present(claimed.staging));
  EXPECT_FALSE(present(prepared.staging));
  EXPECT_EQ(namesIn(work_), std::vector<std::string>{"failure.json"});
  EXPECT_EQ(namesIn(applications_), std::vector<std::string>{"Mirelo.app"});
  expectInstalledIntact();
}

TEST_F(StoreTest, DiscardOfBothRecordsNamingOneFolder) {
  const StagingClaim claim = makeStaging();
  writeRecord(claim, store_.claimPath());
  writeRecord(candidateFor(claim), store_.recordPath());
  store_.discard();
  EXPECT_FALSE(present(claim.staging));
  EXPECT_TRUE(namesIn(work_).empty());
}

// Each case leaves a record that names something; the table says whether the record goes
// and whether the thing it names must stay exactly as it is.
TEST_F(StoreTest, DiscardLeavesEverythingThatIsNotTheRecordedFolderAlone) {
  struct Case {
    const char* name;
    // Builds the record's content (written to claim.json or prepared.json) and returns the
    // path of what must be left alone, or an empty path.
    std::function<std::pair<std::string, stdfs::path>()> prepare;
    bool recordRemoved;
  };
  auto claimText = [](const std::string& staging, int64_t device, uint64_t inode) {
    return encodeRecord(StagingClaim{staging, device, inode}).dump();
  };
  const std::vector<Case> cases = {
      {"folder already gone",
       [&] {
         const StagingClaim c = makeStaging();
         ::chmod((stdfs::path(c.staging) / "prepared" / "Contents").c_str(), 0755);
         stdfs::remove_all(c.staging);
         return std::pair{claimText(c.staging, c.stagingDevice, c.stagingInode), stdfs::path()};
       },
       true},
      {"not JSON", [&] { return std::pair{std::string("not json"), stdfs::path(makeStaging().staging)}; }, true},
      {"a claim without its inode",
       [&] {
         const StagingClaim c = makeStaging();
         return std::pair{R"({"staging":")" + c.staging + R"(","stagingDevice":)" + std::to_string(c.stagingDevice) + "}",
                          stdfs::path(c.staging)};
       },
       true},
      {"folder replaced by another of the same name",
       [&] {
         const StagingClaim c = makeStaging();
         // The old folder goes only after the new one exists, so that its inode number
         // cannot be handed straight to the new folder.
         stdfs::rename(c.staging, applications_ / "old");
         stdfs::create_directory(c.staging);
         ::chmod(c.staging.c_str(), 0700);
         ::chmod((applications_ / "old" / "prepared" / "Contents").c_str(), 0755);
         stdfs::remove_all(applications_ / "old");
         writeFile(stdfs::path(c.staging) / "someone-elses", "x");
         return std::pair{claimText(c.staging, c.stagingDevice, c.stagingInode), stdfs::path(c.staging)};
       },
       true},
      {"device 2^31",
       [&] {
         const StagingClaim c = makeStaging();
         return std::pair{claimText(c.staging, int64_t{1} << 31, c.stagingInode), stdfs::path(c.staging)};
       },
       true},
      {"device below -2^31",
       [&] {
         const StagingClaim c = makeStaging();
         return std::pair{claimText(c.staging, -(int64_t{1} << 31) - 1, c.stagingInode), stdfs::path(c.staging)};
       },
       true},
      {"device with the real value plus 2^32",
       [&] {
         const StagingClaim c = makeStaging();
         return std::pair{claimText(c.staging, c.stagingDevice + (int64_t{1} << 32), c.stagingInode),
                          stdfs::path(c.staging)};
       },
       true},
      {"the installed application's folder, with its true identity",
       [&] {
         struct stat s {};
         ::lstat(applications_.c_str(), &s);
         return std::pair{claimText(applications_.string(), static_cast<int64_t>(s.st_dev), s.st_ino), applications_};
       },
       true},
      {"the installed bundle itself, with its true identity",
       [&] {
         const stdfs::path bundle = applications_ / "Mirelo.app";
         struct stat s {};
         ::lstat(bundle.c_str(), &s);
         return std::pair{claimText(bundle.string(), static_cast<int64_t>(s.st_dev), s.st_ino), bundle};
       },
       true},
      {"a link to the staging folder under a staging name",
       [&] {
         const StagingClaim c = makeStaging();
         const stdfs::path moved = c.staging + "-moved";
         stdfs::rename(c.staging, moved);
         stdfs::create_directory_symlink(moved, c.staging);
         return std::pair{claimText(c.staging, c.stagingDevice, c.stagingInode), moved};
       },
       true},
      {"a staging folder opened up to the group",
       [&] {
         const StagingClaim c = makeStaging();
         ::chmod(c.staging.c_str(), 0750);
         return std::pair{claimText(c.staging, c.stagingDevice, c.stagingInode), stdfs::path(c.staging)};
       },
       true},
      {"the folder cannot be examined",
       [&] {
         const StagingClaim c = makeStaging();
         // A file where the record's parent folder should be: lstat fails with ENOTDIR.
         return std::pair{claimText((stdfs::path(c.staging) / "prepared" / "Contents" / "MacOS" / "Mirelo" /
                                     ".mirelo-update-0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2D")
                                        .string(),
                                    c.stagingDevice, c.stagingInode),
                          stdfs::path(c.staging)};
       },
       false},
  };
  for (const char* record : {"claim.json", "prepared.json"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(record) + ": " + c.name);
      const auto [text, keep] = c.prepare();
      writeFile(work_ / record, text);
      std::vector<std::string> keptNames;
      if (!keep.empty()) keptNames = namesIn(keep);
      store_.discard();
      EXPECT_EQ(present(work_ / record), !c.recordRemoved);
      if (!keep.empty()) {
        EXPECT_TRUE(present(keep));
        EXPECT_EQ(namesIn(keep), keptNames);
      }
      expectInstalledIntact();
      stdfs::remove_all(work_ / record);
    }
  }
}

TEST_F(StoreTest, DiscardRemovesALinkedRecordAndNothingElse) {
  const StagingClaim claim = makeStaging();
  writeRecord(claim, dir_ / "elsewhere.json");
  stdfs::create_symlink(dir_ / "elsewhere.json", store_.recordPath());
  store_.discard();
  EXPECT_FALSE(present(store_.recordPath()));
  EXPECT_TRUE(present(dir_ / "elsewhere.json"));
  EXPECT_TRUE(stdfs::is_directory(claim.staging));
}

TEST_F(StoreTest, DiscardKeepsTheRecordWhileItsFolderCannotBeRemoved) {
  const StagingClaim claim = makeStaging();
  writeRecord(claim, store_.claimPath());
  const stdfs::path stuck = stdfs::path(claim.staging) / "prepared" / "Contents" / "MacOS" / "Mirelo";
  if (runShell("chattr +i '" + stuck.string() + "' 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "chattr +i is not supported here (needs root and ext4/xfs/btrfs)";
  }
  store_.discard();
  runShell("chattr -i '" + stuck.string() + "'");
  EXPECT_TRUE(present(store_.claimPath()));
  EXPECT_TRUE(present(stuck));
  expectInstalledIntact();
  // Once the folder can go, a later discard finishes the job.
  store_.discard();
  EXPECT_FALSE(present(store_.claimPath()));
  EXPECT_FALSE(present(claim.staging));
}

// A record that exists but cannot be read for a moment (an I/O error) is not a broken
// record: removing it would leave its staging folder, candidate and all, named by nothing.
// strace makes every read of the record fail in a real `--discard`.
TEST_F(StoreTest, DiscardKeepsARecordThatCouldNotBeRead) {
  if (runShell("/usr/bin/strace -qq -o /dev/null true 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  for (const bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "prepared.json" : "claim.json");
    const StagingClaim claim = makeStaging();
    const stdfs::path record = prepared ? store_.recordPath() : store_.claimPath();
    writeRecord(claim, record);
    const ::mirelo::testing::ProcessResult failing = ::mirelo::testing::runProcess(
        {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-E", ::mirelo::testing::kNoLeakCheckUnderTrace, "-P", record.string(), "-e", "inject=read:error=EIO",
         ::mirelo::testing::programPath("mirelo-update-helper").string(), "--discard", work_.string()});
    EXPECT_EQ(failing.exitCode, 0) << failing.err;
    EXPECT_TRUE(present(record));
    EXPECT_TRUE(stdfs::is_directory(claim.staging));
    // Once it reads again, a discard removes both.
    store_.discard();
    EXPECT_FALSE(present(record));
    EXPECT_FALSE(present(claim.staging));
  }
}

// ---- claim(into:) ----

TEST_F(StoreTest, ClaimMovesAValidRecordUnchanged) {
  const PreparedCandidate candidate = candidateFor(makeStaging());
  writeRecord(candidate, store_.recordPath());
  const std::string bytes = readFile(store_.recordPath());
  writeFile(session_ / "adopted.json", "an older adoption");
  EXPECT_EQ(store_.claim(session_), candidate);
  EXPECT_FALSE(present(store_.recordPath()));
  EXPECT_EQ(readFile(session_ / "adopted.json"), bytes);
  EXPECT_TRUE(stdfs::is_directory(candidate.staging));
}

TEST_F(StoreTest, ClaimWithoutARecordChangesNothing) {
  EXPECT_FALSE(store_.claim(session_).has_value());
  EXPECT_TRUE(namesIn(session_).empty());
  writeRecord(candidateFor(makeStaging()), store_.recordPath());
  EXPECT_FALSE(store_.claim(dir_ / "absent-session").has_value());
  EXPECT_TRUE(present(store_.recordPath()));
}

TEST_F(StoreTest, ClaimOfAnIncompleteRecordRemovesOnlyItsProvenFolder) {
  const StagingClaim claim = makeStaging();
  writeRecord(claim, store_.recordPath());
  EXPECT_FALSE(store_.claim(session_).has_value());
  EXPECT_FALSE(present(claim.staging));
  EXPECT_EQ(readRecord<StagingClaim>(session_ / "adopted.json"), claim);
  EXPECT_FALSE(present(store_.recordPath()));

  const StagingClaim other = makeStaging();
  writeFile(store_.recordPath(), "not json, but naming " + other.staging);
  EXPECT_FALSE(store_.claim(session_).has_value());
  EXPECT_TRUE(stdfs::is_directory(other.staging));
  EXPECT_EQ(readFile(session_ / "adopted.json"), "not json, but naming " + other.staging);
  expectInstalledIntact();
}

TEST_F(StoreTest, ADirectoryWithANulByteNamesNothing) {
  // Cut short at the NUL byte, the path would name the work directory itself.
  const std::string cut = work_.string() + std::string(1, '\0') + "x";
  const PreparedCandidate candidate = candidateFor(makeStaging());
  writeRecord(candidate, store_.recordPath());
  const PreparedStore store(cut);
  EXPECT_FALSE(store.claim(session_).has_value());
  EXPECT_FALSE(PreparedStore(work_).claim(stdfs::path(session_.string() + std::string(1, '\0'))).has_value());
  EXPECT_FALSE(store.waitUntilIdle().has_value());
  store.discard();
  EXPECT_EQ(outcomeOf([&] { store.readRequest(); }), "Invalid update request");
  EXPECT_EQ(outcomeOf([&] { writeRecord(candidate, stdfs::path(cut) / "prepared.json"); }),
            "Cannot record prepared update");
  EXPECT_EQ(namesIn(work_), std::vector<std::string>{"prepared.json"});
  EXPECT_TRUE(namesIn(session_).empty());
  EXPECT_TRUE(stdfs::is_directory(candidate.staging));
}

// ---- waitUntilIdle() ----

bool isLockedElsewhere(const stdfs::path& lock) {
  mirelo::UniqueFd fd(::open(lock.c_str(), O_RDWR | O_CLOEXEC));
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

TEST_F(StoreTest, WaitUntilIdleLocksAtOnceWhenNothingRuns) {
  const mode_t old = ::umask(0);
  std::optional<UniqueFd> fd = store_.waitUntilIdle();
  ::umask(old);
  ASSERT_TRUE(fd.has_value());
  EXPECT_TRUE(fd->valid());
  EXPECT_EQ(stdfs::status(store_.lockPath()).permissions(), stdfs::perms::owner_read | stdfs::perms::owner_write);
  EXPECT_TRUE(isLockedElsewhere(store_.lockPath()));
  fd.reset();
  EXPECT_FALSE(isLockedElsewhere(store_.lockPath()));
}

TEST_F(StoreTest, WaitUntilIdleRefusesALinkedOrMissingLockFile) {
  writeFile(dir_ / "other.lock", "");
  stdfs::create_symlink(dir_ / "other.lock", store_.lockPath());
  EXPECT_FALSE(store_.waitUntilIdle().has_value());
  EXPECT_FALSE(PreparedStore(dir_ / "absent").waitUntilIdle().has_value());
}

void ignoreSignal(int) {}

TEST_F(StoreTest, WaitUntilIdleWaitsForTheRunningHolderThroughInterruptions) {
  // A real other process holds the lock until it is killed: the shell opens the lock file
  // as descriptor 9, flock(1) locks it, and the shell becomes sleep with the descriptor.
  const std::string lockPath = store_.lockPath().string();
  testing::BackgroundProcess holder(
      {"/bin/sh", "-c", "exec 9>>\"$0\" && flock 9 && exec sleep 60", lockPath});
  bool held = false;
  for (int i = 0; i < 2000 && !held; ++i) {
    held = isLockedElsewhere(store_.lockPath());
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(held) << "the holder never took the lock";

  struct sigaction action {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: flock returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> done{false};
  std::optional<UniqueFd> result;
  std::thread waiter([&] {
    result = store_.waitUntilIdle();
    done = true;
  });
  const pthread_t waiterThread = waiter.native_handle();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::pthread_kill(waiterThread, SIGUSR1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());

  holder.signal(SIGKILL);  // the holder ends and its lock goes with it
  holder.wait();
  waiter.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->valid());
  EXPECT_TRUE(isLockedElsewhere(store_.lockPath()));
}

}  // namespace
}  // namespace mirelo
