// The client library against the real update helper: real signed applications and archives,
// a real process playing the running application, the real relaunch, real signals and locks.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "client/client_error.h"
#include "client/files.h"
#include "client/update_client.h"
#include "platform/unique_fd.h"
#include "testing/test_support.h"

namespace mirelo::client {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using mirelo::testing::BackgroundProcess;
using mirelo::testing::namesIn;

const char kIdentifier[] = "com.mirelo.desktop";

std::string tool(const std::string& name) { return mirelo::testing::programPath(name).string(); }

void mustRun(const std::vector<std::string>& argv) {
  const auto result = mirelo::testing::runProcess(argv);
  ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.err;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::vector<fs::path> stagingFolders(const fs::path& parent) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.path().filename().string().rfind(".mirelo-update-", 0) == 0) found.push_back(entry.path());
  }
  return found;
}

std::string versionOf(const fs::path& bundle) {
  const std::string plist = mirelo::testing::readFile(bundle / "Contents/Info.plist");
  const auto at = plist.find("<key>CFBundleShortVersionString</key>");
  if (at == std::string::npos) return "";
  const auto open = plist.find("<string>", at) + 8;
  return plist.substr(open, plist.find("</string>", open) - open);
}

unsigned modeOf(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Holds a work directory's lock the way a running helper does.
class HeldLock {
 public:
  explicit HeldLock(const fs::path& directory)
      : fd_(::open((directory / "active.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_EQ(::flock(fd_.get(), LOCK_EX | LOCK_NB), 0);
  }

 private:
  UniqueFd fd_;
};

template <class Operation>
std::string errorKindOf(Operation&& operation) {
  try {
    operation();
    return "ok";
  } catch (const ClientError& error) {
    switch (error.kind()) {
      case ClientError::Kind::kUsage: return "usage";
      case ClientError::Kind::kWrongVolume: return "wrong volume";
      case ClientError::Kind::kHelperFailed: return "helper failed";
      case ClientError::Kind::kNotAWorkFolder: return "not a work folder";
    }
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
  return "?";
}

// A machine with the installed application 1.0.0, its signed update 2.0.0 as an archive, an
// empty work folder beside nothing yet, and a running process that plays the application.
class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = root_ / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    fs::create_directories(applications_);
    fs::create_directories(downloads_);
    makeBundle(applications_, "1.0.0");
    archive_ = makeArchive("2.0.0");
    application_.emplace(std::vector<std::string>{"/bin/sleep", "600"});
    client_.setUp(executable());
  }

  void makeBundle(const fs::path& out, const std::string& version, const std::string& identifier = kIdentifier,
                  int files = 40, int bytes = 100000) {
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", identifier, "--version", version, "--files",
             std::to_string(files), "--bytes", std::to_string(bytes), "--key", key_, out});
  }

  fs::path makeArchive(const std::string& version, const std::string& identifier = kIdentifier, int files = 40,
                       int bytes = 100000) {
    mirelo::testing::TempDir scratch;
    makeBundle(scratch.path(), version, identifier, files, bytes);
    const fs::path archive = downloads_ / ("Mirelo-" + version + "-" + std::to_string(archives_++) + ".zip");
    mustRun({tool("mirelo-sample-app"), "archive", scratch / "Mirelo.app", archive});
    return archive;
  }

  fs::path installed() const { return applications_ / "Mirelo.app"; }
  fs::path executable() const { return installed() / "Contents/MacOS/Mirelo"; }

  PrepareRequest prepareRequest(const fs::path& archive, const std::string& version = "2.0.0") const {
    return {archive, executable(), version, "stable-" + version};
  }
  InstallRequest installRequest(std::optional<fs::path> prepared = {}) const {
    return {archive_, executable(), "2.0.0", application_->pid(), std::move(prepared)};
  }

  // Runs the helper with the relaunched application noting its start in started.log.
  void noteStarts() { ::setenv("MIRELO_SAMPLE_STARTED", started_.c_str(), 1); }
  bool startedVersion(const std::string& version) const {
    return fs::exists(started_) && mirelo::testing::readFile(started_).find(version + "\n") != std::string::npos;
  }

  void quitApplication() {
    application_->signal(SIGTERM);
    application_->wait();
  }

  void TearDown() override { ::unsetenv("MIRELO_SAMPLE_STARTED"); }

  mirelo::testing::TempDir dir_;
  fs::path root_ = dir_.path();
  fs::path applications_ = root_ / "Applications";
  fs::path downloads_ = root_ / "downloads";
  fs::path parent_ = root_ / "Mirelo Updates";
  fs::path started_ = root_ / "started.log";
  fs::path key_, archive_;
  int archives_ = 0;
  std::optional<BackgroundProcess> application_;
  UpdateClient client_{tool("mirelo-update-helper"), parent_};
};

TEST_F(Client, WholeUpdateWithTheLibrarysCalls) {
  EXPECT_EQ(modeOf(parent_), 0700u);
  const fs::path job = client_.createWorkDirectory("prepare");
  EXPECT_EQ(job.parent_path(), parent_);
  EXPECT_EQ(modeOf(job), 0700u);
  EXPECT_EQ(client_.probe(job), Probe::kFree);

  const PrepareOutcome prepared = client_.prepare(job, prepareRequest(archive_));
  ASSERT_EQ(prepared.kind, PrepareOutcome::Kind::kPrepared) << (prepared.failure ? prepared.failure->reason : "");
  EXPECT_EQ(prepared.prepared->version, "2.0.0");
  EXPECT_EQ(prepared.prepared->tag, "stable-2.0.0");
  EXPECT_EQ(stagingFolders(applications_), std::vector<fs::path>{prepared.prepared->staging});
  EXPECT_EQ(json::parse(mirelo::testing::readFile(job / "request.json"))["archive"], archive_.string());

  noteStarts();
  const fs::path sessionDir = client_.createWorkDirectory("install");
  InstallOutcome started = client_.install(sessionDir, installRequest(job), 60s);
  ASSERT_EQ(started.kind, InstallOutcome::Kind::kReady) << (started.failure ? started.failure->reason : "");
  // The prepared candidate was adopted, not rebuilt from the archive.
  EXPECT_TRUE(fs::exists(sessionDir / "adopted.json"));
  EXPECT_FALSE(fs::exists(job / "prepared.json"));
  const json request = json::parse(mirelo::testing::readFile(sessionDir / "native-install.json"));
  EXPECT_EQ(request["pid"], application_->pid());
  EXPECT_EQ(request["prepared"], job.string());

  // Nobody confirms before the application has quit and the new version runs.
  EXPECT_EQ(client_.findWaitingSession(executable(), "2.0.0"), std::nullopt);
  started.session->announceInstalling();
  EXPECT_EQ(mirelo::testing::readFile(sessionDir / "phase"), "installing");
  quitApplication();
  ASSERT_TRUE(waitUntil([&] { return startedVersion("2.0.0"); })) << "the new version was not relaunched";

  // The relaunched application, knowing only its work folder, executable and version.
  EXPECT_EQ(client_.findWaitingSession(executable(), "1.0.0"), std::nullopt);
  EXPECT_EQ(client_.findWaitingSession(root_ / "Elsewhere.app/Contents/MacOS/Mirelo", "2.0.0"), std::nullopt);
  EXPECT_EQ(client_.findWaitingSession(executable(), "2.0.0"), sessionDir);
  EXPECT_TRUE(client_.confirmStartup(executable(), "2.0.0"));
  EXPECT_EQ(started.session->waitForHelper(30s), 0);

  EXPECT_EQ(versionOf(installed()), "2.0.0");
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_TRUE(client_.events().empty());
  EXPECT_FALSE(client_.confirmStartup(executable(), "2.0.0"));

  // Both jobs are finished; housekeeping leaves only the client's own lock files.
  const CleanReport report = client_.clean();
  EXPECT_FALSE(report.skipped);
  EXPECT_EQ(report.removed.size(), 2u);
  EXPECT_EQ(namesIn(parent_), (std::vector<std::string>{"client.lock", "session.lock"}));
}

TEST_F(Client, EveryOutcomeOfPrepare) {
  const fs::path stranger = makeArchive("2.0.0", "com.example.other");
  const struct {
    const char* name;
    PrepareRequest request;
    PrepareOutcome::Kind kind;
    std::optional<Failure> failure;
  } cases[] = {
      {"another application", prepareRequest(stranger), PrepareOutcome::Kind::kFailed,
       Failure{"background", "Update identity mismatch"}},
      {"another version", prepareRequest(archive_, "3.0.0"), PrepareOutcome::Kind::kFailed,
       Failure{"background", "Update identity mismatch"}},
      {"request the helper refuses", PrepareRequest{archive_, executable(), "2.0.0", "not+a+tag"},
       PrepareOutcome::Kind::kFailed, Failure{"background", "Invalid update request"}},
      {"missing archive", prepareRequest(downloads_ / "gone.zip"), PrepareOutcome::Kind::kFailed, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path job = client_.createWorkDirectory("prepare");
    const PrepareOutcome outcome = client_.prepare(job, c.request);
    EXPECT_EQ(outcome.kind, c.kind);
    ASSERT_TRUE(outcome.failure.has_value()) << "no reason";
    EXPECT_EQ(outcome.failure->stage, "background");
    if (c.failure) {
      EXPECT_EQ(outcome.failure->reason, c.failure->reason);
    }
    EXPECT_FALSE(outcome.prepared.has_value());
    EXPECT_EQ(client_.lastFailure(job)->reason, outcome.failure->reason);
    EXPECT_TRUE(stagingFolders(applications_).empty());
  }

  // A helper at work in the directory: busy, and its request is left as it was.
  const fs::path job = client_.createWorkDirectory("prepare");
  mirelo::testing::writeFile(job / "request.json", "{}");
  {
    HeldLock held(job);
    EXPECT_EQ(client_.probe(job), Probe::kBusy);
    EXPECT_EQ(client_.prepare(job, prepareRequest(archive_)).kind, PrepareOutcome::Kind::kBusy);
    EXPECT_EQ(client_.discard(job), DiscardOutcome::kBusy);
  }
  EXPECT_EQ(mirelo::testing::readFile(job / "request.json"), "{}");

  // A successful preparation after a failed one, then a discard.
  ASSERT_EQ(client_.prepare(job, prepareRequest(archive_)).kind, PrepareOutcome::Kind::kPrepared);
  EXPECT_EQ(client_.lastFailure(job), std::nullopt);
  EXPECT_EQ(client_.discard(job), DiscardOutcome::kDone);
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_FALSE(fs::exists(job / "prepared.json"));
}

TEST_F(Client, PrepareWithoutEnoughSpace) {
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
  makeBundle(small / "Applications", "1.0.0");
  const fs::path smallExecutable = small / "Applications/Mirelo.app/Contents/MacOS/Mirelo";

  // The work folder must share the application's volume.
  EXPECT_EQ(errorKindOf([&] { client_.setUp(smallExecutable); }), "wrong volume");
  UpdateClient client(tool("mirelo-update-helper"), small / "Updates");
  client.setUp(smallExecutable);
  const fs::path job = client.createWorkDirectory("prepare");
  const PrepareOutcome outcome = client.prepare(job, {makeArchive("2.0.0"), smallExecutable, "2.0.0", "stable-2.0.0"});
  EXPECT_EQ(outcome.kind, PrepareOutcome::Kind::kNoSpace);
  ASSERT_TRUE(outcome.failure.has_value());
  EXPECT_EQ(outcome.failure->reason, "Not enough disk space");
  EXPECT_TRUE(stagingFolders(small / "Applications").empty());
}

TEST_F(Client, StoppingAPreparationCancelsTheHelper) {
  const fs::path big = makeArchive("2.0.0", kIdentifier, 1500, 40'000'000);
  const fs::path job = client_.createWorkDirectory("prepare");
  mirelo::testing::writeFile(job / "failure.json", R"({"stage":"background","reason":"old"})");
  std::stop_source stop;
  int ticks = 0;
  const PrepareOutcome outcome = client_.prepare(job, prepareRequest(big), stop.get_token(), [&](auto) {
    // The stop comes while the helper is extracting.
    if (++ticks == 2) stop.request_stop();
  });
  EXPECT_EQ(outcome.kind, PrepareOutcome::Kind::kCancelled);
  EXPECT_GE(ticks, 2);
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_EQ(namesIn(job), (std::vector<std::string>{"active.lock", "request.json"}));
}

TEST_F(Client, EveryOutcomeOfInstall) {
  // Nothing to adopt and an archive that is not there: the session records why and ends.
  {
    const fs::path session = client_.createWorkDirectory("install");
    InstallRequest request = installRequest();
    request.archive = downloads_ / "gone.zip";
    const InstallOutcome outcome = client_.install(session, request, 60s);
    EXPECT_EQ(outcome.kind, InstallOutcome::Kind::kFailed);
    ASSERT_TRUE(outcome.failure.has_value());
    EXPECT_EQ(outcome.failure->stage, "preparing");
    const auto events = client_.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].outcome, "update-preparation-failed");
    EXPECT_EQ(events[0].version, "2.0.0");
  }

  // Not ready in time: the session is ended and removes the candidate it built.
  {
    const fs::path session = client_.createWorkDirectory("install");
    const InstallOutcome outcome = client_.install(session, installRequest(), 1ms);
    EXPECT_EQ(outcome.kind, InstallOutcome::Kind::kTimedOut);
    EXPECT_TRUE(waitUntil([&] { return client_.probe(session) == Probe::kFree && stagingFolders(applications_).empty(); }));
  }

  // Ready, then a second application instance: busy, and no second session is started.
  const fs::path session = client_.createWorkDirectory("install");
  InstallOutcome first = client_.install(session, installRequest(), 60s);
  ASSERT_EQ(first.kind, InstallOutcome::Kind::kReady);
  const fs::path second = client_.createWorkDirectory("install");
  EXPECT_EQ(client_.install(second, installRequest(), 60s).kind, InstallOutcome::Kind::kBusy);
  EXPECT_TRUE(namesIn(second).empty());
  EXPECT_EQ(stagingFolders(applications_).size(), 1u);

  // The application changes its mind: the session ends and the installed version stays.
  first.session->cancel();
  EXPECT_EQ(first.session->waitForHelper(30s), 0);
  EXPECT_EQ(versionOf(installed()), "1.0.0");
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_EQ(errorKindOf([&] { first.session->announceInstalling(); }), "helper failed");

  // With the first session gone, the second instance may start one.
  InstallOutcome retry = client_.install(second, installRequest(), 60s);
  ASSERT_EQ(retry.kind, InstallOutcome::Kind::kReady);
  retry.session->cancel();
  EXPECT_EQ(retry.session->waitForHelper(30s), 0);
}

TEST_F(Client, RefusesWhatTheHelperWouldMisread) {
  const fs::path job = client_.createWorkDirectory("prepare");
  const fs::path session = client_.createWorkDirectory("install");
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside);
  const fs::path used = client_.createWorkDirectory("install");
  mirelo::testing::writeFile(used / "phase", "complete");
  fs::create_directory_symlink(job, parent_ / "link");

  const struct {
    const char* name;
    std::function<void()> operation;
    const char* error;
  } cases[] = {
      {"session directory named as the preparation",
       [&] { client_.install(session, installRequest(session), 60s); }, "usage"},
      {"the same folder with a trailing slash",
       [&] { client_.install(session, installRequest(fs::path(session.string() + "/")), 60s); }, "usage"},
      {"a session directory used before", [&] { client_.install(used, installRequest(job), 60s); }, "usage"},
      {"a directory outside the work folder", [&] { client_.prepare(outside, prepareRequest(archive_)); },
       "not a work folder"},
      {"a link to a work directory", [&] { client_.prepare(parent_ / "link", prepareRequest(archive_)); },
       "not a work folder"},
      {"a phase word the helper does not know", [&] { client_.writePhase(session, "installing\n"); }, "usage"},
      {"a phase where no session waits", [&] { client_.writePhase(session, "complete"); }, "usage"},
      {"a purpose that is not a plain name", [&] { client_.createWorkDirectory("../x"); }, "usage"},
      {"a helper that does not exist",
       [&] { UpdateClient(root_ / "no-helper", parent_).prepare(job, prepareRequest(archive_)); }, "helper failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorKindOf(c.operation), c.error);
  }
  // Nothing was written for the refused requests.
  EXPECT_TRUE(namesIn(session).empty());
  EXPECT_EQ(namesIn(used), std::vector<std::string>{"phase"});
  EXPECT_TRUE(namesIn(outside).empty());
}

TEST_F(Client, HousekeepingNeverTouchesWhatAHelperHolds) {
  // A preparation at work, a session waiting, a prepared update, a failed and a discarded
  // preparation, a fresh directory, a folder that is not ours and a link to a file outside.
  const fs::path working = client_.createWorkDirectory("prepare");
  const fs::path waiting = client_.createWorkDirectory("install");
  const fs::path prepared = client_.createWorkDirectory("prepare");
  const fs::path failed = client_.createWorkDirectory("prepare");
  const fs::path discarded = client_.createWorkDirectory("prepare");
  const fs::path fresh = client_.createWorkDirectory("prepare");
  const fs::path foreign = parent_ / "photos";
  const fs::path precious = root_ / "precious.txt";
  mirelo::testing::writeFile(precious, "keep me");
  fs::create_directories(foreign);
  mirelo::testing::writeFile(foreign / "active.lock", "");
  mirelo::testing::writeFile(foreign / "holiday.jpg", "jpeg");

  ASSERT_EQ(client_.prepare(prepared, prepareRequest(archive_)).kind, PrepareOutcome::Kind::kPrepared);
  mirelo::testing::writeFile(prepared / ".pending-0F6C1B1E-3C57-4B6B-9E0B-2D1E4E9C1A77", "debris");
  ASSERT_EQ(client_.prepare(failed, prepareRequest(archive_, "3.0.0")).kind, PrepareOutcome::Kind::kFailed);
  fs::create_symlink(precious, failed / "phase");
  ASSERT_EQ(client_.prepare(discarded, prepareRequest(archive_)).kind, PrepareOutcome::Kind::kPrepared);
  ASSERT_EQ(client_.discard(discarded), DiscardOutcome::kDone);
  InstallOutcome session = client_.install(waiting, installRequest(prepared), 60s);
  ASSERT_EQ(session.kind, InstallOutcome::Kind::kReady);
  // The session adopted that candidate; prepare another one to keep.
  ASSERT_EQ(client_.prepare(prepared, prepareRequest(archive_)).kind, PrepareOutcome::Kind::kPrepared);
  mirelo::testing::writeFile(prepared / ".pending-0F6C1B1E-3C57-4B6B-9E0B-2D1E4E9C1A77", "debris");
  HeldLock helperAtWork(working);

  const CleanReport report = client_.clean();
  EXPECT_FALSE(report.skipped);
  EXPECT_EQ(std::set<fs::path>(report.removed.begin(), report.removed.end()), (std::set<fs::path>{failed, discarded}));
  EXPECT_EQ(report.tidied, std::vector<fs::path>{prepared});
  EXPECT_EQ(std::set<fs::path>(report.kept.begin(), report.kept.end()),
            (std::set<fs::path>{working, waiting, fresh, foreign}));
  EXPECT_EQ(mirelo::testing::readFile(precious), "keep me");
  EXPECT_EQ(namesIn(prepared), (std::vector<std::string>{"active.lock", "prepared.json"}));
  EXPECT_EQ(namesIn(foreign), (std::vector<std::string>{"active.lock", "holiday.jpg"}));
  EXPECT_TRUE(fs::exists(waiting / "ready"));

  // The prepared update is still adoptable after housekeeping; an explicit keep is kept.
  session.session->cancel();
  ASSERT_EQ(session.session->waitForHelper(30s), 0);
  const CleanReport second = client_.clean({prepared});
  EXPECT_EQ(second.removed, std::vector<fs::path>{waiting});
  EXPECT_TRUE(fs::exists(prepared / "prepared.json"));

  // While an operation of the client runs, housekeeping does nothing at all.
  const fs::path slow = client_.createWorkDirectory("prepare");
  std::optional<CleanReport> during;
  client_.prepare(slow, prepareRequest(makeArchive("2.0.0", kIdentifier, 600, 10'000'000)), {},
                  [&](auto) {
                    if (!during) during = client_.clean();
                  });
  ASSERT_TRUE(during.has_value());
  EXPECT_TRUE(during->skipped);
  EXPECT_TRUE(during->removed.empty());
}

TEST_F(Client, EventLogAsTypedEvents) {
  // A prepared candidate changed after its preparation: the session falls back to the archive
  // and logs it. A session that nobody confirms expires and logs that.
  const fs::path job = client_.createWorkDirectory("prepare");
  const PrepareOutcome prepared = client_.prepare(job, prepareRequest(archive_));
  ASSERT_EQ(prepared.kind, PrepareOutcome::Kind::kPrepared);
  mirelo::testing::writeFile(fs::path(prepared.prepared->staging) / "prepared/Contents/Resources/extra.txt", "x");
  ::setenv("MIRELO_SESSION_DEADLINE_MS_FOR_TESTING", "1500", 1);
  const fs::path session = client_.createWorkDirectory("install");
  InstallOutcome outcome = client_.install(session, installRequest(job), 60s);
  ::unsetenv("MIRELO_SESSION_DEADLINE_MS_FOR_TESTING");
  ASSERT_EQ(outcome.kind, InstallOutcome::Kind::kReady);
  ASSERT_TRUE(waitUntil([&] { return client_.events().size() == 2; }));
  outcome.session->terminate();
  EXPECT_EQ(outcome.session->waitForHelper(30s), 0);

  const auto events = client_.events();
  EXPECT_EQ(events[0].outcome, "update-prepared-fallback");
  EXPECT_EQ(events[0].stage, "adopting");
  EXPECT_TRUE(events[0].kind.has_value());
  EXPECT_EQ(events[1].outcome, "update-expired");
  EXPECT_EQ(events[1].stage, "awaiting-install");
  EXPECT_EQ(events[1].kind, std::nullopt);
  for (const auto& event : events) {
    EXPECT_EQ(event.schema, 1);
    EXPECT_EQ(event.version, "2.0.0");
    EXPECT_EQ(event.id.size(), 32u);
    EXPECT_EQ(event.at.back(), 'Z');
    EXPECT_FALSE(event.rotated);
  }
  EXPECT_EQ(mirelo::testing::readFile(session / "phase"), "expired");
}

TEST(EventLogReader, ReadsBothGenerationsAndSkipsWhatIsNotAnEvent) {
  mirelo::testing::TempDir parent;
  const std::string line = R"({"schema":1,"id":"0123456789abcdef0123456789abcdef","stage":"cleanup","at":"2026-01-02T03:04:05.678Z","outcome":")";
  mirelo::testing::writeFile(parent / "launcher-events.1.jsonl",
                             line + "old\",\"kind\":\"\"}\n" + "not json\n" + "[1,2]\n" +
                                 R"({"schema":1,"id":"x","outcome":"no stage"})" + "\n");
  mirelo::testing::writeFile(parent / "launcher-events.jsonl",
                             line + "new\",\"version\":\"2.0.0\"}\n" + line + "being written");
  const auto events = readEvents(parent.path());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].outcome, "old");
  EXPECT_TRUE(events[0].rotated);
  EXPECT_EQ(events[0].kind, "");
  EXPECT_EQ(events[0].version, std::nullopt);
  EXPECT_EQ(events[1].outcome, "new");
  EXPECT_FALSE(events[1].rotated);
  EXPECT_EQ(events[1].version, "2.0.0");
  EXPECT_EQ(events[1].kind, std::nullopt);

  // A log that is a link is not read through.
  mirelo::testing::TempDir other;
  fs::create_symlink(parent / "launcher-events.jsonl", other / "launcher-events.jsonl");
  EXPECT_TRUE(readEvents(other.path()).empty());
}

TEST(RecordReader, FailureRecordsAreHostileInput) {
  mirelo::testing::TempDir folder;
  const struct {
    const char* name;
    std::string content;
    std::optional<std::string> reason;
  } cases[] = {
      {"complete", R"({"reason":"Update signature mismatch","stage":"background"})", "Update signature mismatch"},
      {"extra member", R"({"stage":"cleanup","reason":"native-error-13","more":1})", "native-error-13"},
      {"reason of the wrong type", R"({"stage":"background","reason":13})", std::nullopt},
      {"no stage", R"({"reason":"x"})", std::nullopt},
      {"not an object", R"(["background","x"])", std::nullopt},
      {"cut short", R"({"stage":"background","rea)", std::nullopt},
      {"too large", R"({"stage":"background","reason":")" + std::string(16400, 'a') + "\"}", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mirelo::testing::writeFile(folder / "failure.json", c.content);
    const auto failure = readFailure(folder.path());
    EXPECT_EQ(failure ? std::optional(failure->reason) : std::nullopt, c.reason);
  }
  fs::remove(folder / "failure.json");
  mirelo::testing::TempDir elsewhere;
  mirelo::testing::writeFile(elsewhere / "failure.json", R"({"stage":"background","reason":"x"})");
  fs::create_symlink(elsewhere / "failure.json", folder / "failure.json");
  EXPECT_EQ(readFailure(folder.path()), std::nullopt);
}

TEST(ReplaceFile, WritesWholeFilesAndLeavesNoTemporary) {
  mirelo::testing::TempDir folder;
  replaceFile(folder.path(), "phase", "installing");
  replaceFile(folder.path(), "phase", "complete");
  EXPECT_EQ(mirelo::testing::readFile(folder / "phase"), "complete");
  EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"phase"});
  // A destination that cannot be replaced leaves no temporary behind.
  fs::create_directory(folder / "ready");
  mirelo::testing::writeFile(folder / "ready" / "inside", "");
  EXPECT_THROW(replaceFile(folder.path(), "ready", "ready"), std::system_error);
  EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"phase", "ready"}));
}

}  // namespace
}  // namespace mirelo::client
