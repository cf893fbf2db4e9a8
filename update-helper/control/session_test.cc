// End-to-end tests of the foreground session, `mirelo-update-helper --run`: a real signed
// application, real archives, a real background preparation to adopt, a simulated desktop
// application (a real process whose pid goes into the request), phases renamed into place,
// the real relaunch tool and real signals.

#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::ProcessResult;

const char kIdentifier[] = "com.mirelo.desktop";

std::string tool(const std::string& name) { return testing::programPath(name).string(); }

void mustRun(const std::vector<std::string>& argv) {
  const ProcessResult result = testing::runProcess(argv);
  ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.err;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
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

// The short version string of a bundle, read back from its Info.plist.
std::string versionOf(const fs::path& bundle) {
  const std::string plist = testing::readFile(bundle / "Contents/Info.plist");
  const std::string key = "<key>CFBundleShortVersionString</key>";
  const auto at = plist.find(key);
  if (at == std::string::npos) return "";
  const auto open = plist.find("<string>", at) + 8;
  return plist.substr(open, plist.find("</string>", open) - open);
}

// A machine with an installed, signed application 1.0.0, its signed update 2.0.0 as an
// archive, a preparation directory and a session directory under one parent folder, and a
// running process that plays the desktop application.
class Session : public ::testing::Test {
 public:
  void SetUp() override {
    key_ = root_ / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    for (const fs::path& folder : {applications_, jobs_, prepare_, session_, downloads_}) fs::create_directories(folder);
    makeBundle(applications_, "1.0.0");
    archive_ = makeArchive("2.0.0");
    application_.emplace(std::vector<std::string>{"/bin/sleep", "600"});
  }

  void makeBundle(const fs::path& out, const std::string& version) {
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", kIdentifier, "--version", version, "--files", "40",
             "--bytes", "100000", "--key", key_, out});
  }

  fs::path makeArchive(const std::string& version) {
    testing::TempDir scratch;
    makeBundle(scratch.path(), version);
    const fs::path archive = downloads_ / ("Mirelo-" + version + ".zip");
    mustRun({tool("mirelo-sample-app"), "archive", scratch / "Mirelo.app", archive});
    return archive;
  }

  fs::path installed() const { return applications_ / "Mirelo.app"; }
  std::string executable() const { return (installed() / "Contents/MacOS/Mirelo").string(); }

  json request(bool prepared) const {
    json r = {{"archive", archive_.string()}, {"executable", executable()}, {"version", "2.0.0"},
              {"pid", application_->pid()}};
    if (prepared) r["prepared"] = prepare_.string();
    return r;
  }
  void writeRequest(const std::string& text) { testing::writeFile(session_ / "native-install.json", text); }

  void prepareInBackground() {
    testing::writeFile(prepare_ / "request.json", json{{"archive", archive_.string()},
                                                       {"executable", executable()},
                                                       {"version", "2.0.0"},
                                                       {"tag", "stable-2.0.0"}}
                                                      .dump());
    const ProcessResult result = testing::runProcess({tool("mirelo-update-helper"), "--prepare", prepare_});
    ASSERT_EQ(result.exitCode, 0) << testing::readFile(prepare_ / "failure.json");
  }

  // Starts `--run` on the session directory. The relaunched application confirms its start
  // unless told not to, and notes each start in started.log.
  void startSession(bool confirm = true, const std::vector<std::string>& environment = {},
                    const std::string& helper = "") {
    std::vector<std::string> argv = {"/usr/bin/env", "MIRELO_SAMPLE_STARTED=" + (root_ / "started.log").string()};
    if (confirm) argv.push_back("MIRELO_SAMPLE_CONFIRM=" + session_.string());
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.insert(argv.end(), {helper.empty() ? tool("mirelo-update-helper") : helper, "--run", session_.string()});
    helper_.emplace(argv);
  }

  bool isReady() const { return fs::exists(session_ / "ready"); }
  void waitReady() {
    ASSERT_TRUE(waitUntil([&] { return isReady() || finished(); })) << "no ready file";
    ASSERT_TRUE(isReady()) << "the session ended before it was ready: " << failureText();
    EXPECT_EQ(testing::readFile(session_ / "ready"), "ready");
  }

  // Writes the phase the way the desktop application does: a new file renamed into place.
  void writePhase(const std::string& text) {
    const fs::path temporary = session_ / ".phase.new";
    testing::writeFile(temporary, text);
    fs::rename(temporary, session_ / "phase");
  }
  std::string phase() const { return fs::exists(session_ / "phase") ? testing::readFile(session_ / "phase") : ""; }

  void quitApplication() {
    application_->signal(SIGTERM);
    application_->wait();
  }

  bool finished() {
    if (!exit_) exit_ = helper_->waitFor(0);
    return exit_.has_value();
  }
  // Waits for the session's process to end and returns its exit status.
  int exitCode(double seconds = 30) {
    if (!exit_) exit_ = helper_->waitFor(seconds);
    return exit_.value_or(-1);
  }
  void expectStillRunning() { EXPECT_FALSE(helper_->waitFor(0.3).has_value()) << "the session ended"; }

  std::string failureText() const {
    return fs::exists(session_ / "failure.json") ? testing::readFile(session_ / "failure.json") : "(no failure.json)";
  }
  json failure() const { return json::parse(testing::readFile(session_ / "failure.json")); }

  std::vector<json> events() const {
    std::vector<json> lines;
    const fs::path log = jobs_ / "launcher-events.jsonl";
    if (!fs::exists(log)) return lines;
    const std::string text = testing::readFile(log);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(json::parse(text.substr(start, end - start)));
    }
    return lines;
  }

  int probe(const fs::path& directory) {
    return testing::runProcess({tool("mirelo-update-helper"), "--probe", directory}).exitCode;
  }

  std::string startedLog() const {
    return fs::exists(root_ / "started.log") ? testing::readFile(root_ / "started.log") : "";
  }

  // The installed application is whole: the version asked for, strictly valid.
  void expectInstalled(const std::string& version) {
    EXPECT_EQ(versionOf(installed()), version);
    const ProcessResult verify = testing::runProcess(
        {tool("mirelo-codesign"), "verify", "--strict", "--nested", installed().string()});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
  }

  // A complete update: ready, "installing", the application quits, the swap, the relaunch.
  void installAndConfirm() {
    waitReady();
    writePhase("installing");
    quitApplication();
    EXPECT_EQ(exitCode(), 0) << failureText();
    EXPECT_EQ(startedLog(), "2.0.0\n");
    EXPECT_EQ(phase(), "complete");
    expectInstalled("2.0.0");
    EXPECT_TRUE(stagingFolders(applications_).empty());
    EXPECT_FALSE(fs::exists(session_ / "failure.json")) << failureText();
    EXPECT_EQ(probe(session_), 1);
  }

  testing::TempDir dir_;
  fs::path root_ = dir_.path();
  fs::path applications_ = root_ / "Applications";
  fs::path jobs_ = root_ / "jobs";
  fs::path prepare_ = jobs_ / "prepare-1";
  fs::path session_ = jobs_ / "session-1";
  fs::path downloads_ = root_ / "downloads";
  fs::path key_, archive_;
  std::optional<BackgroundProcess> application_;
  std::optional<BackgroundProcess> helper_;
  std::optional<int> exit_;
};

TEST_F(Session, AdoptsThePreparedCandidateSwapsRelaunchesAndRemovesThePreviousVersion) {
  prepareInBackground();
  writeRequest(request(true).dump());
  startSession();
  waitReady();
  // The prepared record moved into the session; the candidate is out of its parking place.
  EXPECT_FALSE(fs::exists(prepare_ / "prepared.json"));
  ASSERT_TRUE(fs::exists(session_ / "adopted.json"));
  const fs::path staging = json::parse(testing::readFile(session_ / "adopted.json"))["staging"].get<std::string>();
  EXPECT_TRUE(fs::is_directory(staging / "Mirelo.app"));
  EXPECT_EQ(stagingFolders(applications_), std::vector<fs::path>{staging});
  // Nothing is swapped while the application runs.
  writePhase("installing");
  expectStillRunning();
  expectInstalled("1.0.0");
  quitApplication();
  EXPECT_EQ(exitCode(), 0) << failureText();
  EXPECT_EQ(startedLog(), "2.0.0\n");
  expectInstalled("2.0.0");
  EXPECT_TRUE(stagingFolders(applications_).empty());
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(fs::exists(session_ / "adopted.json"));  // the application's to remove
  EXPECT_EQ(probe(session_), 1);
}

TEST_F(Session, PreparesFromTheArchiveWhenNothingWasPrepared) {
  // A preparation directory without a candidate, and one that is the session's own
  // directory (which must not make the session wait for its own lock): both use the archive
  // and log nothing.
  for (const bool ownDirectory : {false, true}) {
    SCOPED_TRACE(ownDirectory ? "prepared is the session directory" : "nothing prepared");
    json r = request(true);
    if (ownDirectory) r["prepared"] = session_.string();
    writeRequest(r.dump());
    startSession();
    installAndConfirm();
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(fs::exists(session_ / "adopted.json"));
    if (!ownDirectory) {
      // Back to 1.0.0 for the second round.
      fs::remove_all(installed());
      makeBundle(applications_, "1.0.0");
      fs::remove(root_ / "started.log");
      for (const char* name : {"ready", "phase"}) fs::remove(session_ / name);
      application_.emplace(std::vector<std::string>{"/bin/sleep", "600"});
      exit_.reset();
    }
  }
}

TEST_F(Session, ApplicationAlreadyGoneWhenInstallingIsReadSwapsAtOnce) {
  writeRequest(request(false).dump());
  quitApplication();
  startSession();
  installAndConfirm();
}

TEST_F(Session, WithoutAnInstallRequestOnlyPhasesEndTheSession) {
  const struct {
    const char* name;
    std::function<void(Session&)> end;
  } endings[] = {
      {"complete", [](Session& s) { s.writePhase("complete"); }},
      {"cancel", [](Session& s) { s.writePhase("cancel"); }},
      {"SIGTERM", [](Session& s) { s.helper_->signal(SIGTERM); }},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.name);
    for (const char* name : {"ready", "phase"}) fs::remove(session_ / name);
    exit_.reset();
    startSession();
    waitReady();
    writePhase("installing");
    expectStillRunning();
    ending.end(*this);
    EXPECT_EQ(exitCode(), 0);
    EXPECT_FALSE(fs::exists(session_ / "failure.json"));
    EXPECT_TRUE(events().empty());
    expectInstalled("1.0.0");
  }
}

TEST_F(Session, InvalidRequestsAreRecordedAndEndTheSession) {
  const std::string archive = archive_.string(), exe = executable();
  const std::string pid = std::to_string(application_->pid());
  auto with = [&](const std::string& pidText) {
    return R"({"archive":")" + archive + R"(","executable":")" + exe + R"(","version":"2.0.0","pid":)" + pidText + "}";
  };
  const struct {
    const char* name;
    std::string text;
    std::string reason;
    bool versionKnown;
  } cases[] = {
      {"pid missing", R"({"archive":")" + archive + R"(","executable":")" + exe + R"(","version":"2.0.0"})",
       "Invalid update request", true},
      {"archive missing", R"({"executable":")" + exe + R"(","version":"2.0.0","pid":)" + pid + "}",
       "Invalid update request", true},
      {"version a number", R"({"archive":")" + archive + R"(","executable":")" + exe + R"(","version":2,"pid":)" + pid + "}",
       "Invalid update request", false},
      {"pid a string", with("\"" + pid + "\""), "Invalid update request", true},
      {"pid a fraction", with("12.5"), "Invalid update request", true},
      {"pid past 32 bits", with("2147483648"), "Invalid update request", true},
      {"pid below 32 bits", with("-2147483649"), "Invalid update request", true},
      {"pid true", with("true"), "Invalid update request", true},
      {"top level an array", "[" + with(pid) + "]", "Invalid update request", false},
      {"not JSON", "{\"archive\":", "native-error-3840", false},
      {"a lone string, no document", "\"2.0.0\"", "native-error-3840", false},
      {"empty file", "", "native-error-3840", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(jobs_ / "launcher-events.jsonl");
    fs::remove(session_ / "failure.json");
    exit_.reset();
    writeRequest(c.text);
    startSession();
    EXPECT_EQ(exitCode(), 0);
    ASSERT_TRUE(fs::exists(session_ / "failure.json"));
    EXPECT_EQ(failure(), (json{{"stage", "preparing"}, {"reason", c.reason}}));
    const std::vector<json> lines = events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"], "update-preparation-failed");
    EXPECT_EQ(lines[0]["stage"], "preparing");
    EXPECT_EQ(lines[0].contains("version"), c.versionKnown);
    if (c.versionKnown) {
      EXPECT_EQ(lines[0]["version"], "2.0.0");
    }
    EXPECT_FALSE(fs::exists(session_ / "ready"));
    EXPECT_TRUE(stagingFolders(applications_).empty());
    expectInstalled("1.0.0");
  }
  // A request that cannot be read at all fails with the system's error.
  fs::remove(session_ / "native-install.json");
  fs::create_directory(session_ / "native-install.json");
  fs::remove(session_ / "failure.json");
  exit_.reset();
  startSession();
  EXPECT_EQ(exitCode(), 0);
  EXPECT_EQ(failure(), (json{{"stage", "preparing"}, {"reason", "native-error-21"}}));
  // A pid that is valid but whose archive cannot be prepared fails the same way.
  fs::remove(session_ / "native-install.json");
  json r = request(false);
  r["archive"] = (downloads_ / "missing.zip").string();
  writeRequest(r.dump());
  exit_.reset();
  startSession();
  EXPECT_EQ(exitCode(), 0);
  EXPECT_EQ(failure()["stage"], "preparing");
  expectInstalled("1.0.0");
}

TEST_F(Session, ACandidateChangedAfterPreparationFallsBackToTheArchive) {
  const struct {
    const char* name;
    std::function<void(const fs::path& parked, const fs::path& record)> change;
    const char* kind;
  } cases[] = {
      {"resource edited",
       [](const fs::path& parked, const fs::path&) {
         testing::writeFile(parked / "Contents/Resources/readme.txt", "changed");
       },
       "prepared-update-changed"},
      {"file added",
       [](const fs::path& parked, const fs::path&) { testing::writeFile(parked / "Contents/Resources/extra", "x"); },
       "prepared-update-changed"},
      {"record edited",
       [](const fs::path&, const fs::path& record) {
         json r = json::parse(testing::readFile(record));
         r["cdhash"] = std::string(40, '0');
         testing::writeFile(record, r.dump());
       },
       "prepared-update-signature-changed"},
      {"folder replaced",
       [](const fs::path& parked, const fs::path&) {
         fs::rename(parked, parked.parent_path() / "old");
         fs::copy(parked.parent_path() / "old", parked, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
       },
       "prepared-update-changed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(jobs_ / "launcher-events.jsonl");
    prepareInBackground();
    const fs::path staging = json::parse(testing::readFile(prepare_ / "prepared.json"))["staging"].get<std::string>();
    c.change(staging / "prepared", prepare_ / "prepared.json");
    writeRequest(request(true).dump());
    startSession();
    waitReady();
    // The changed candidate is gone; the session's own candidate came from the archive.
    EXPECT_FALSE(fs::exists(staging));
    const std::vector<json> lines = events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"], "update-prepared-fallback");
    EXPECT_EQ(lines[0]["stage"], "adopting");
    EXPECT_EQ(lines[0]["kind"], c.kind);
    EXPECT_EQ(lines[0]["version"], "2.0.0");
    writePhase("cancel");
    EXPECT_EQ(exitCode(), 0);
    EXPECT_TRUE(stagingFolders(applications_).empty()) << "left: " << stagingFolders(applications_).size();
    expectInstalled("1.0.0");
    exit_.reset();
    for (const char* name : {"ready", "phase", "adopted.json"}) fs::remove(session_ / name);
  }
}

TEST_F(Session, AFailedRelaunchKeepsTheNewVersionAndThePreviousOneThenExpires) {
  // A copy of the helper whose relaunch tool always fails.
  const fs::path bin = root_ / "bin";
  fs::create_directory(bin);
  fs::copy_file(tool("mirelo-update-helper"), bin / "mirelo-update-helper");
  // The helper loads its core from its own folder.
  fs::copy_file(tool("mirelo-update-core.so"), bin / "mirelo-update-core.so");
  testing::writeFile(bin / "mirelo-open", "#!/bin/sh\nexit 1\n");
  fs::permissions(bin / "mirelo-open", fs::perms(0755));

  writeRequest(request(false).dump());
  startSession(true, {}, (bin / "mirelo-update-helper").string());
  waitReady();
  writePhase("installing");
  quitApplication();
  ASSERT_TRUE(waitUntil([&] { return phase() == "expired"; })) << failureText();
  EXPECT_EQ(failure(), (json{{"stage", "replacement-or-relaunch"}, {"reason", "Update preparation failed"}}));
  const std::vector<json> lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["outcome"], "update-relaunch-failed");
  EXPECT_EQ(lines[0]["stage"], "replacement-or-relaunch");
  EXPECT_EQ(lines[0]["kind"], "update-preparation-failed");
  EXPECT_EQ(lines[0]["version"], "2.0.0");
  expectInstalled("2.0.0");
  const std::vector<fs::path> staging = stagingFolders(applications_);
  ASSERT_EQ(staging.size(), 1u);
  EXPECT_EQ(versionOf(staging[0] / "Mirelo.app"), "1.0.0");
  // Expired: the lock is free, later phases are ignored, the process waits for SIGTERM.
  EXPECT_EQ(probe(session_), 1);
  writePhase("complete");
  expectStillRunning();
  helper_->signal(SIGTERM);
  EXPECT_EQ(exitCode(), 0);
  EXPECT_EQ(stagingFolders(applications_).size(), 1u);
}

TEST_F(Session, TheDeadlineExpiresTheSession) {
  const std::vector<std::string> shortDeadline = {"MIRELO_SESSION_DEADLINE_MS_FOR_TESTING=1500"};
  {
    SCOPED_TRACE("before installing: the prepared candidate is removed");
    writeRequest(request(false).dump());
    startSession(true, shortDeadline);
    waitReady();
    ASSERT_EQ(stagingFolders(applications_).size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return phase() == "expired"; }));
    const std::vector<json> lines = events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"], "update-expired");
    EXPECT_EQ(lines[0]["stage"], "awaiting-install");
    EXPECT_EQ(lines[0]["version"], "2.0.0");
    EXPECT_FALSE(lines[0].contains("kind"));
    EXPECT_FALSE(fs::exists(session_ / "failure.json"));
    EXPECT_TRUE(stagingFolders(applications_).empty());
    EXPECT_EQ(probe(session_), 1);
    expectStillRunning();
    helper_->signal(SIGTERM);
    EXPECT_EQ(exitCode(), 0);
    expectInstalled("1.0.0");
  }
  {
    SCOPED_TRACE("after the swap without confirmation: the previous version stays");
    fs::remove(jobs_ / "launcher-events.jsonl");
    for (const char* name : {"ready", "phase"}) fs::remove(session_ / name);
    exit_.reset();
    startSession(false, shortDeadline);
    waitReady();
    writePhase("installing");
    quitApplication();
    ASSERT_TRUE(waitUntil([&] { return phase() == "expired"; }));
    EXPECT_EQ(startedLog(), "2.0.0\n");
    const std::vector<json> lines = events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["stage"], "awaiting-startup");
    expectInstalled("2.0.0");
    const std::vector<fs::path> staging = stagingFolders(applications_);
    ASSERT_EQ(staging.size(), 1u);
    EXPECT_EQ(versionOf(staging[0] / "Mirelo.app"), "1.0.0");
    helper_->signal(SIGTERM);
    EXPECT_EQ(exitCode(), 0);
    EXPECT_EQ(stagingFolders(applications_).size(), 1u);
  }
}

TEST_F(Session, SigtermInEveryStateEndsWithExitZero) {
  {
    SCOPED_TRACE("ready: the candidate is removed");
    writeRequest(request(false).dump());
    startSession();
    waitReady();
    // A hang-up is a termination request, refused while the session has not finished.
    helper_->signal(SIGHUP);
    expectStillRunning();
    helper_->signal(SIGTERM);
    EXPECT_EQ(exitCode(), 0);
    EXPECT_TRUE(stagingFolders(applications_).empty());
    expectInstalled("1.0.0");
  }
  {
    SCOPED_TRACE("SIGTERM again while the session ends: still ignored, still 0");
    for (int round = 0; round < 5; ++round) {
      for (const char* name : {"ready", "phase", "failure.json"}) fs::remove(session_ / name);
      fs::remove(session_ / "native-install.json");
      exit_.reset();
      startSession();
      waitReady();
      for (int i = 0; i < 4; ++i) {
        helper_->signal(SIGTERM);
        std::this_thread::sleep_for(std::chrono::microseconds(500 * i));
      }
      EXPECT_EQ(exitCode(), 0) << "round " << round;
    }
    writeRequest(request(false).dump());
  }
  {
    SCOPED_TRACE("awaiting startup: the previous version stays");
    for (const char* name : {"ready", "phase"}) fs::remove(session_ / name);
    exit_.reset();
    startSession(false);
    waitReady();
    writePhase("installing");
    quitApplication();
    ASSERT_TRUE(waitUntil([&] { return startedLog() == "2.0.0\n"; }));
    helper_->signal(SIGTERM);
    EXPECT_EQ(exitCode(), 0);
    expectInstalled("2.0.0");
    EXPECT_EQ(stagingFolders(applications_).size(), 1u);
    EXPECT_TRUE(events().empty());
  }
}

// A preparation that still runs on the prepared directory (its lock held) keeps the session
// preparing; phases and signals meanwhile are held until the work hands back.
TEST_F(Session, WhilePreparingTheSessionWaitsForTheWorkToHandBack) {
  const struct {
    const char* name;
    std::function<void(Session&)> stop;  // empty: keep going
  } cases[] = {
      {"installing read while preparing takes effect at ready", nullptr},
      {"cancel", [](Session& s) { s.writePhase("cancel"); }},
      {"SIGTERM", [](Session& s) { s.helper_->signal(SIGTERM); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepareInBackground();
    for (const char* name : {"ready", "phase", "adopted.json"}) fs::remove(session_ / name);
    exit_.reset();
    application_.emplace(std::vector<std::string>{"/bin/sleep", "600"});
    writeRequest(request(true).dump());
    // Held by this process, as a running preparation would hold it.
    int lock = ::open((prepare_ / "active.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    startSession();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(fs::exists(prepare_ / "prepared.json")) << "claimed while the preparation ran";
    if (c.stop) {
      c.stop(*this);
    } else {
      writePhase("installing");
      quitApplication();
    }
    expectStillRunning();
    EXPECT_FALSE(isReady());
    ::close(lock);  // the preparation ends
    EXPECT_EQ(exitCode(), 0) << failureText();
    EXPECT_FALSE(fs::exists(session_ / "failure.json")) << failureText();
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(stagingFolders(applications_).empty());
    if (c.stop) {
      expectInstalled("1.0.0");
      EXPECT_FALSE(isReady());
    } else {
      expectInstalled("2.0.0");
      EXPECT_EQ(startedLog(), "2.0.0\n");
      // Back to 1.0.0 for the next round.
      fs::remove_all(installed());
      makeBundle(applications_, "1.0.0");
    }
  }
}

TEST_F(Session, PhasesAreComparedExactlyAndAfterTheSwapAreIgnoredButComplete) {
  writeRequest(request(false).dump());
  quitApplication();
  startSession();
  waitReady();
  for (const char* text : {"installing\n", "Installing", " installing", "install"}) {
    SCOPED_TRACE(text);
    writePhase(text);
    expectStillRunning();
  }
  expectInstalled("1.0.0");
  EXPECT_TRUE(stagingFolders(applications_).size() == 1u);
  // Written by creating the file rather than renaming it into place.
  fs::remove(session_ / "phase");
  testing::writeFile(session_ / "phase", "installing");
  EXPECT_EQ(exitCode(), 0) << failureText();
  expectInstalled("2.0.0");
}

TEST_F(Session, TheWorkDirectoryRemovedUnderTheSession) {
  writeRequest(request(false).dump());
  startSession();
  waitReady();
  fs::remove_all(session_);
  expectStillRunning();
  helper_->signal(SIGTERM);
  EXPECT_EQ(exitCode(), 0);
  EXPECT_TRUE(stagingFolders(applications_).empty());
  expectInstalled("1.0.0");
}

// No thread can be made for the background work (strace fails the second clone; the first
// is the event loop's own): the session records the failure and ends like any failed work.
TEST_F(Session, WithoutAThreadForItsWorkTheFailureIsRecorded) {
  if (testing::runProcess({"/usr/bin/strace", "-qq", "-o", "/dev/null", "true"}).exitCode != 0) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  writeRequest(request(false).dump());
  const ProcessResult result = testing::runProcess(
      {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "/usr/bin/strace", "-f", "-qq", "-o", "/dev/null",
       "-E", testing::kNoLeakCheckUnderTrace, "-e", "inject=clone,clone3:error=EAGAIN:when=2",
       tool("mirelo-update-helper"), "--run", session_.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(failure(), (json{{"stage", "preparing"}, {"reason", "native-error-11"}}));
  EXPECT_TRUE(stagingFolders(applications_).empty());
  expectInstalled("1.0.0");
}

// mirelo-open, the relaunch tool, on bundles of its own.
class OpenTool : public ::testing::Test {
 protected:
  // A bundle whose executable notes its session, parent, working folder and open
  // descriptors into `report`.
  fs::path makeBundle(const std::string& name, const std::string& executableName, bool executable = true) {
    const fs::path bundle = dir_ / (name + ".app");
    fs::create_directories(bundle / "Contents/MacOS");
    testing::writeFile(bundle / "Contents/Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleExecutable</key><string>" +
                           executableName + "</string></dict></plist>\n");
    const fs::path program = bundle / "Contents/MacOS/Program";
    testing::writeFile(program, "#!/bin/sh\n{ echo \"pid $$\"; ps -o sid=,ppid= -p $$; pwd; ls -l /proc/$$/fd/; } > '" +
                                    report_.string() + ".tmp'\nmv '" + report_.string() + ".tmp' '" +
                                    report_.string() + "'\n");
    fs::permissions(program, executable ? fs::perms(0755) : fs::perms(0644));
    return bundle;
  }

  ProcessResult open(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {tool("mirelo-open")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::runProcess(argv);
  }

  testing::TempDir dir_;
  fs::path report_ = dir_ / "report";
};

TEST_F(OpenTool, StartsTheBundleDetachedInASessionOfItsOwn) {
  const fs::path bundle = makeBundle("Good", "Program");
  // A descriptor that the caller leaves open must not reach the application.
  const fs::path lock = dir_ / "held.lock";
  testing::writeFile(lock, "");
  const ProcessResult result = testing::runShell("exec 7<'" + lock.string() + "'; '" + tool("mirelo-open") +
                                                 "' -n '" + bundle.string() + "'");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  ASSERT_TRUE(waitUntil([&] { return fs::exists(report_); }));
  std::istringstream report(testing::readFile(report_));
  std::string word;
  pid_t pid = 0, sid = 0, ppid = 0;
  std::string cwd;
  report >> word >> pid >> sid >> ppid >> cwd;
  EXPECT_EQ(sid, pid) << "not the leader of a new session";
  EXPECT_NE(ppid, ::getpid());
  EXPECT_EQ(cwd, "/");
  const std::string text = testing::readFile(report_);
  EXPECT_EQ(text.find("held.lock"), std::string::npos) << "a descriptor leaked into the application:\n" << text;
  // (Standard output is the report itself.)
  for (const char* stream : {" 0 -> /dev/null", " 2 -> /dev/null"}) {
    EXPECT_NE(text.find(stream), std::string::npos) << stream << " in\n" << text;
  }
}

TEST_F(OpenTool, FailsUnlessTheProgramWasExecuted) {
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int code;
  } cases[] = {
      {"no such bundle", {"-n", (dir_ / "Missing.app").string()}, 1},
      {"executable missing", {"-n", makeBundle("NoProgram", "Absent").string()}, 1},
      {"executable outside MacOS", {"-n", makeBundle("Escape", "../MacOS/Program").string()}, 1},
      {"not executable", {"-n", makeBundle("NotExecutable", "Program", false).string()}, 1},
      {"without -n", {makeBundle("Plain", "Program").string()}, 2},
      {"nothing", {}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(open(c.arguments).exitCode, c.code);
  }
  EXPECT_FALSE(fs::exists(report_));
}

}  // namespace
}  // namespace mirelo
