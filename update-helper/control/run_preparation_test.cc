// End-to-end tests of `mirelo-update-helper --prepare` and `--discard`: real signed sample
// applications, real archives made with zip, the real extraction tools, and real signals.

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/pattern.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::namesIn;
using testing::ProcessResult;

const char kIdentifier[] = "com.mirelo.desktop";

std::string tool(const std::string& name) { return testing::programPath(name).string(); }

void mustRun(const std::vector<std::string>& argv) {
  ProcessResult result = testing::runProcess(argv);
  ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.err;
}

std::vector<fs::path> stagingFolders(const fs::path& parent) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.path().filename().string().rfind(".mirelo-update-", 0) == 0) found.push_back(entry.path());
  }
  return found;
}

// A machine with an installed, signed application, a developer key, and a preparation
// directory under one parent folder.
class PrepareRun : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = root_ / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    otherKey_ = root_ / "stranger.pem";
    mustRun({tool("mirelo-codesign"), "keygen", otherKey_});
    fs::create_directories(applications_);
    fs::create_directories(work_);
    fs::create_directories(downloads_);
    makeBundle(applications_, "1.0.0", key_);
  }

  void makeBundle(const fs::path& out, const std::string& version, const fs::path& key,
                  const std::string& identifier = kIdentifier, int files = 60) {
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", identifier, "--version", version, "--files",
             std::to_string(files), "--bytes", "200000", "--key", key, out});
  }

  // An update archive of the given version, signed with `key` unless told otherwise.
  fs::path makeArchive(const std::string& version, const fs::path& key, const std::string& identifier = kIdentifier,
                       int files = 60) {
    testing::TempDir scratch;
    makeBundle(scratch.path(), version, key, identifier, files);
    const fs::path archive = downloads_ / ("Mirelo-" + version + "-" + std::to_string(archives_++) + ".zip");
    mustRun({tool("mirelo-sample-app"), "archive", scratch / "Mirelo.app", archive});
    return archive;
  }

  void writeRequest(const fs::path& archive, const std::string& version = "2.0.0",
                    const std::string& executable = "") {
    json request = {{"archive", archive.string()},
                    {"executable", executable.empty() ? (applications_ / "Mirelo.app/Contents/MacOS/Mirelo").string()
                                                      : executable},
                    {"version", version},
                    {"tag", "stable-" + version}};
    testing::writeFile(work_ / "request.json", request.dump());
  }

  ProcessResult helper(const std::string& mode) {
    return testing::runProcess({tool("mirelo-update-helper"), mode, work_.string()});
  }

  json failure() { return json::parse(testing::readFile(work_ / "failure.json")); }

  // After a failed or cancelled preparation nothing of it may remain.
  void expectNothingLeftBehind() {
    EXPECT_TRUE(stagingFolders(applications_).empty());
    EXPECT_FALSE(fs::exists(work_ / "claim.json"));
    EXPECT_FALSE(fs::exists(work_ / "prepared.json"));
  }

  testing::TempDir dir_;
  fs::path root_ = dir_.path();
  fs::path applications_ = root_ / "Applications";
  fs::path work_ = root_ / "jobs" / "prepare-1";
  fs::path downloads_ = root_ / "downloads";
  fs::path key_, otherKey_;
  int archives_ = 0;
};

TEST_F(PrepareRun, RecordsAVerifiedParkedCandidate) {
  writeRequest(makeArchive("2.0.0", key_));
  testing::writeFile(work_ / "failure.json", R"({"stage":"background","reason":"old"})");

  ProcessResult result = helper("--prepare");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(namesIn(work_), (std::vector<std::string>{"active.lock", "prepared.json", "request.json"}));

  const json record = json::parse(testing::readFile(work_ / "prepared.json"));
  EXPECT_EQ(record.size(), 11u);
  EXPECT_EQ(record["schema"], 1);
  EXPECT_EQ(record["version"], "2.0.0");
  EXPECT_EQ(record["tag"], "stable-2.0.0");
  EXPECT_EQ(record["target"], fs::canonical(applications_ / "Mirelo.app").string());
  EXPECT_EQ(record["bundle"], "Mirelo.app");

  const fs::path staging = record["staging"].get<std::string>();
  EXPECT_EQ(staging.parent_path(), fs::canonical(applications_));
  const Pattern stagingName(R"(\.mirelo-update-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})");
  EXPECT_TRUE(stagingName.matchesWhole(staging.filename().string())) << staging;
  EXPECT_EQ(stagingFolders(applications_), std::vector<fs::path>{staging});
  struct stat folder {};
  ASSERT_EQ(::lstat(staging.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(record["stagingDevice"].get<int64_t>(), static_cast<int64_t>(folder.st_dev));
  EXPECT_EQ(record["stagingInode"].get<uint64_t>(), folder.st_ino);
  EXPECT_EQ(namesIn(staging), std::vector<std::string>{"prepared"});

  const fs::path parked = staging / "prepared";
  struct stat candidate {};
  ASSERT_EQ(::lstat(parked.c_str(), &candidate), 0);
  EXPECT_EQ(record["candidateInode"].get<uint64_t>(), candidate.st_ino);
  EXPECT_EQ(record["inventory"], AtomicInstall::inventory(parked));
  ProcessResult shown = testing::runProcess({tool("mirelo-codesign"), "show", parked.string()});
  ASSERT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("cdhash=" + record["cdhash"].get<std::string>() + "\n"), std::string::npos) << shown.out;
  EXPECT_EQ(record["cdhash"].get<std::string>().size(), 40u);
  EXPECT_EQ(testing::runProcess({tool("mirelo-codesign"), "verify", "--strict", "--nested", parked.string()}).exitCode, 0);

  // --discard throws the prepared update away, staging folder and all.
  result = helper("--discard");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_EQ(namesIn(work_), (std::vector<std::string>{"active.lock", "request.json"}));
  // The installed application is untouched.
  EXPECT_EQ(testing::runProcess({tool("mirelo-codesign"), "verify", (applications_ / "Mirelo.app").string()}).exitCode, 0);
}

TEST_F(PrepareRun, SecondPreparationDiscardsTheFirst) {
  writeRequest(makeArchive("2.0.0", key_));
  ASSERT_EQ(helper("--prepare").exitCode, 0);
  const json first = json::parse(testing::readFile(work_ / "prepared.json"));
  ASSERT_EQ(helper("--prepare").exitCode, 0);
  const json second = json::parse(testing::readFile(work_ / "prepared.json"));
  EXPECT_NE(first["staging"], second["staging"]);
  EXPECT_FALSE(fs::exists(first["staging"].get<std::string>()));
  EXPECT_EQ(stagingFolders(applications_).size(), 1u);

  // A failing preparation still discards the earlier candidate first.
  writeRequest(makeArchive("2.0.0", otherKey_));
  EXPECT_EQ(helper("--prepare").exitCode, 1);
  expectNothingLeftBehind();
}

TEST_F(PrepareRun, InstalledApplicationReachedThroughALink) {
  fs::create_directory_symlink(applications_, root_ / "AppsLink");
  writeRequest(makeArchive("2.0.0", key_), "2.0.0", (root_ / "AppsLink/Mirelo.app/Contents/MacOS/Mirelo").string());
  ASSERT_EQ(helper("--prepare").exitCode, 0);
  const json record = json::parse(testing::readFile(work_ / "prepared.json"));
  EXPECT_EQ(record["target"], (fs::canonical(applications_) / "Mirelo.app").string());
  EXPECT_EQ(fs::path(record["staging"].get<std::string>()).parent_path(), fs::canonical(applications_));
}

TEST_F(PrepareRun, FailuresEndWithTheirCodeAndReasonAndLeaveNothing) {
  const fs::path good = makeArchive("2.0.0", key_);
  const fs::path stranger = makeArchive("2.0.0", otherKey_);
  const fs::path otherApp = makeArchive("2.0.0", key_, "com.example.other");
  const fs::path notZip = downloads_ / "broken.zip";
  testing::writeFile(notZip, "this is not a zip archive");

  const struct {
    const char* name;
    std::function<void()> arrange;
    int code;
    const char* reason;
  } cases[] = {
      {"no request", [&] { fs::remove(work_ / "request.json"); }, 2, "Invalid update request"},
      {"request not JSON", [&] { testing::writeFile(work_ / "request.json", "{"); }, 2, "Invalid update request"},
      {"relative archive", [&] { writeRequest("update.zip"); }, 2, "Invalid update request"},
      {"version with a space", [&] { writeRequest(good, "2.0 beta"); }, 2, "Invalid update request"},
      {"archive missing", [&] { writeRequest(downloads_ / "missing.zip"); }, 1, "Update preparation failed"},
      {"not a zip archive", [&] { writeRequest(notZip); }, 1, "Update preparation failed"},
      {"installed application missing",
       [&] { writeRequest(good, "2.0.0", (root_ / "Applications/Nothing.app/Contents/MacOS/Nothing").string()); }, 1,
       "Cannot verify installed application identity"},
      {"installed folder missing",
       [&] { writeRequest(good, "2.0.0", (root_ / "Gone/Mirelo.app/Contents/MacOS/Mirelo").string()); }, 1,
       "Cannot inspect update volume"},
      {"wrong version", [&] { writeRequest(good, "2.0.1"); }, 1, "Update identity mismatch"},
      {"other application", [&] { writeRequest(otherApp); }, 1, "Update identity mismatch"},
      {"signed by another developer", [&] { writeRequest(stranger); }, 1, "Update signature mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    ProcessResult result = helper("--prepare");
    EXPECT_EQ(result.exitCode, c.code);
    EXPECT_EQ(result.out + result.err, "");
    ASSERT_TRUE(fs::exists(work_ / "failure.json"));
    EXPECT_EQ(failure(), (json{{"stage", "background"}, {"reason", c.reason}}));
    expectNothingLeftBehind();
  }

  // A later success removes the failure record.
  writeRequest(good);
  EXPECT_EQ(helper("--prepare").exitCode, 0);
  EXPECT_FALSE(fs::exists(work_ / "failure.json"));
}

// The kernel reports a write-back error to one flush of the volume only; a preparation whose
// flush failed must not report success because a later flush found nothing left to report.
// strace fails each flush of the volume in turn.
TEST_F(PrepareRun, AFailedVolumeFlushFailsThePreparation) {
  if (testing::runShell("/usr/bin/strace -qq -o /dev/null true 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  writeRequest(makeArchive("2.0.0", key_));
  for (const char* when : {"1", "2"}) {
    SCOPED_TRACE(std::string("flush ") + when);
    const ProcessResult result = testing::runProcess(
        {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-E", testing::kNoLeakCheckUnderTrace, "-e", std::string("inject=syncfs:error=EIO:when=") + when,
         tool("mirelo-update-helper"), "--prepare", work_.string()});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    ASSERT_TRUE(fs::exists(work_ / "failure.json"));
    EXPECT_EQ(failure(), (json{{"stage", "background"}, {"reason", "Cannot durably flush update"}}));
    expectNothingLeftBehind();
  }
}

// No thread can be made for the SIGTERM watcher (strace fails the first clone): the
// preparation, which could not be cancelled, is not started, and the process ends cleanly.
TEST_F(PrepareRun, WithoutAThreadForItsSigtermWatcherNothingStarts) {
  if (testing::runShell("/usr/bin/strace -qq -o /dev/null true 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  writeRequest(makeArchive("2.0.0", key_));
  const ProcessResult result = testing::runProcess(
      {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-E", testing::kNoLeakCheckUnderTrace, "-e",
       "inject=clone,clone3:error=EAGAIN:when=1", tool("mirelo-update-helper"), "--prepare", work_.string()});
  EXPECT_EQ(result.exitCode, 2) << result.err;
  EXPECT_FALSE(fs::exists(work_ / "failure.json"));
  expectNothingLeftBehind();
}

TEST_F(PrepareRun, UnwritableWorkDirectoryKeepsTheExitCode) {
  writeRequest(makeArchive("2.0.1", key_));
  // The failure record cannot be written; the exit code is the same as if it had been.
  const fs::path blocker = work_ / "failure.json";
  fs::create_directory(blocker);
  testing::writeFile(blocker / "keep", "");
  EXPECT_EQ(helper("--prepare").exitCode, 1);
  EXPECT_TRUE(fs::is_directory(blocker));
}

TEST_F(PrepareRun, NotEnoughSpaceExitsFour) {
  const fs::path small = root_ / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  fs::create_directories(small / "Applications");
  makeBundle(small / "Applications", "1.0.0", key_);
  writeRequest(makeArchive("2.0.0", key_), "2.0.0", (small / "Applications/Mirelo.app/Contents/MacOS/Mirelo").string());
  ProcessResult result = helper("--prepare");
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(failure(), (json{{"stage", "background"}, {"reason", "Not enough disk space"}}));
  EXPECT_TRUE(stagingFolders(small / "Applications").empty());
  EXPECT_FALSE(fs::exists(work_ / "claim.json"));
}

// The running children of `pid`'s main thread, which starts every tool of a preparation.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> found;
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = 0;
  while (children >> child) found.push_back(child);
  return found;
}

std::string commandOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Names of the running children of `pid`.
std::vector<std::string> childCommands(pid_t pid) {
  std::vector<std::string> names;
  for (pid_t child : childrenOf(pid)) names.push_back(commandOf(child));
  return names;
}

// The nice value of a process's main thread (field 19 of /proc/PID/stat), or nothing once
// it has gone.
std::optional<int> niceOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The command name in field 2 may hold spaces; fields 3 on follow its closing parenthesis.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int number = 3; fields >> field; ++number) {
    if (number == 19) return std::stoi(field);
  }
  return std::nullopt;
}

// The I/O scheduling class of a process's main thread (3 is idle), or -1 once it has gone.
int ioClassOf(pid_t pid) {
  constexpr int kIoprioWhoProcess = 1;
  constexpr int kIoprioClassShift = 13;
  const long priority = ::syscall(SYS_ioprio_get, kIoprioWhoProcess, pid);
  return priority < 0 ? -1 : static_cast<int>(priority >> kIoprioClassShift);
}

TEST_F(PrepareRun, RunsAndStartsItsToolsAtNiceTenWithIdleIo) {
  constexpr int kIdle = 3;
  writeRequest(makeArchive("2.0.0", key_, kIdentifier, 3000));
  testing::BackgroundProcess process({tool("mirelo-update-helper"), "--prepare", work_.string()});
  std::vector<std::string> seen;
  while (!process.waitFor(0.002)) {
    for (pid_t child : childrenOf(process.pid())) {
      const std::string name = commandOf(child);
      const std::optional<int> childNice = niceOf(child);
      const int childIo = ioClassOf(child);
      // A tool that ended between the listing and the reads has nothing left to show.
      if (name.empty() || !childNice || childIo < 0) continue;
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
      seen.push_back(name);
      SCOPED_TRACE(name);
      EXPECT_EQ(childNice, 10);
      EXPECT_EQ(childIo, kIdle);
      EXPECT_EQ(niceOf(process.pid()), 10);
      EXPECT_EQ(ioClassOf(process.pid()), kIdle);
    }
  }
  EXPECT_EQ(process.wait(), 0);
  // Both tools of the inspection and the extraction were caught running.
  EXPECT_NE(std::find(seen.begin(), seen.end(), "zipinfo"), seen.end()) << ::testing::PrintToString(seen);
  EXPECT_NE(std::find(seen.begin(), seen.end(), "unzip"), seen.end()) << ::testing::PrintToString(seen);
}

// "claim.json" is removed with its staging folder, and stays exactly when the folder could
// not be removed, so that a later --discard can finish the job.
TEST_F(PrepareRun, ClaimStaysExactlyWhenTheStagingFolderCannotBeRemoved) {
  // Version 2.0.1 is requested, so the extracted 2.0.0 fails its identity check.
  writeRequest(makeArchive("2.0.0", key_, kIdentifier, 3000), "2.0.1");
  std::optional<testing::Immutable> pinned;
  fs::path staging;
  {
    testing::BackgroundProcess process({tool("mirelo-update-helper"), "--prepare", work_.string()});
    while (staging.empty() && !process.waitFor(0.001)) {
      if (!fs::exists(work_ / "claim.json")) continue;
      for (const fs::path& folder : stagingFolders(applications_)) staging = folder;
    }
    ASSERT_FALSE(staging.empty()) << "the preparation ended before its staging folder was claimed";
    // A file that cannot be removed keeps the folder in place.
    testing::writeFile(staging / "pinned", "");
    pinned.emplace(staging / "pinned");
    if (!pinned->applied()) GTEST_SKIP() << "chattr +i is not supported here (needs root and ext4/xfs/btrfs)";
    EXPECT_EQ(process.wait(), 1);
  }
  EXPECT_EQ(failure(), (json{{"stage", "background"}, {"reason", "Update identity mismatch"}}));
  EXPECT_TRUE(fs::is_directory(staging));
  const json claim = json::parse(testing::readFile(work_ / "claim.json"));
  EXPECT_EQ(claim.at("staging"), staging.string());
  EXPECT_FALSE(fs::exists(work_ / "prepared.json"));

  // Once the folder can go, a discard removes it and its claim.
  pinned.reset();
  EXPECT_EQ(helper("--discard").exitCode, 0);
  expectNothingLeftBehind();
}

class PrepareCancellation : public PrepareRun {
 protected:
  // Starts --prepare, waits until `reached` holds, sends SIGTERM, and checks that the
  // preparation ends promptly with 5 and leaves nothing behind.
  void cancelWhen(const std::function<bool(pid_t)>& reached) {
    testing::writeFile(work_ / "failure.json", R"({"stage":"background","reason":"old"})");
    testing::BackgroundProcess process({tool("mirelo-update-helper"), "--prepare", work_.string()});
    bool hit = false;
    for (int i = 0; i < 20000 && !hit; ++i) {
      hit = reached(process.pid());
      if (!hit) {
        if (process.waitFor(0.001)) break;
      }
    }
    ASSERT_TRUE(hit) << "the preparation never reached the point to cancel at";
    const auto sent = std::chrono::steady_clock::now();
    process.signal(SIGTERM);
    const auto status = process.waitFor(30);
    ASSERT_TRUE(status.has_value()) << "still running 30 s after SIGTERM";
    EXPECT_EQ(*status, 5);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 10s);
    EXPECT_FALSE(fs::exists(work_ / "failure.json"));
    expectNothingLeftBehind();
  }
};

TEST_F(PrepareCancellation, WhileListingTheArchive) {
  writeRequest(makeArchive("2.0.0", key_, kIdentifier, 3000));
  cancelWhen([](pid_t pid) {
    auto children = childCommands(pid);
    return std::find(children.begin(), children.end(), "zipinfo") != children.end();
  });
}

TEST_F(PrepareCancellation, WhileExtracting) {
  writeRequest(makeArchive("2.0.0", key_, kIdentifier, 3000));
  cancelWhen([&](pid_t) { return fs::exists(work_ / "claim.json"); });
}

TEST_F(PrepareCancellation, WhileVerifyingOrFlushing) {
  writeRequest(makeArchive("2.0.0", key_, kIdentifier, 3000));
  // The extraction tool has finished once the candidate's Info.plist exists and no child runs.
  cancelWhen([&](pid_t pid) {
    for (const fs::path& staging : stagingFolders(applications_)) {
      if (fs::exists(staging / "Mirelo.app/Contents/Info.plist") && childCommands(pid).empty()) return true;
    }
    return false;
  });
}

}  // namespace
}  // namespace mirelo
