// mirelo-update-client as a script drives it: the real command over the real helper, its
// exit codes, its text and JSON output, its progress display on a terminal, and signals.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/unique_fd.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::ProcessResult;

const char kIdentifier[] = "com.mirelo.desktop";

std::string tool(const std::string& name) { return testing::programPath(name).string(); }

void mustRun(const std::vector<std::string>& argv) {
  const ProcessResult result = testing::runProcess(argv);
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

bool hasStagingFolder(const fs::path& parent) {
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.path().filename().string().rfind(".mirelo-update-", 0) == 0) return true;
  }
  return false;
}

class Command : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = root_ / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    fs::create_directories(applications_);
    fs::create_directories(downloads_);
    makeBundle(applications_, "1.0.0");
    archive_ = makeArchive("2.0.0", 40, 100000);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFailure()) return;
    ASSERT_EQ(client({"setup", "--executable", executable()}).exitCode, 0);
  }
  void TearDown() override { ::unsetenv("MIRELO_SAMPLE_STARTED"); }

  void makeBundle(const fs::path& out, const std::string& version, int files = 40, int bytes = 100000) {
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", kIdentifier, "--version", version, "--files",
             std::to_string(files), "--bytes", std::to_string(bytes), "--key", key_, out});
  }
  fs::path makeArchive(const std::string& version, int files, int bytes) {
    testing::TempDir scratch;
    makeBundle(scratch.path(), version, files, bytes);
    const fs::path archive = downloads_ / ("Mirelo-" + version + "-" + std::to_string(files) + ".zip");
    mustRun({tool("mirelo-sample-app"), "archive", scratch / "Mirelo.app", archive});
    return archive;
  }
  std::string executable() const { return (applications_ / "Mirelo.app/Contents/MacOS/Mirelo").string(); }

  ProcessResult client(std::vector<std::string> words) {
    words.insert(words.begin(), {tool("mirelo-update-client"), "--parent", parent_.string()});
    return testing::runProcess(words);
  }
  json clientJson(std::vector<std::string> words, int expectedCode) {
    words.insert(words.begin(), "--json");
    const ProcessResult result = client(words);
    EXPECT_EQ(result.exitCode, expectedCode) << words[1] << ": " << result.out << result.err;
    return json::parse(result.out, nullptr, false);
  }
  std::vector<std::string> prepareWords(const std::string& job, const std::string& version = "2.0.0",
                                        const fs::path& archive = {}) {
    return {"prepare", job, "--archive", (archive.empty() ? archive_ : archive).string(), "--executable",
            executable(), "--version", version, "--tag", "stable-" + version};
  }
  std::string newJob(const std::string& purpose) {
    const ProcessResult result = client({"new-job", purpose});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out.substr(0, result.out.find('\n'));
  }

  testing::TempDir dir_;
  fs::path root_ = dir_.path();
  fs::path applications_ = root_ / "Applications";
  fs::path downloads_ = root_ / "downloads";
  fs::path parent_ = root_ / "updates";
  fs::path key_, archive_;
};

TEST_F(Command, WholeUpdateFromAShell) {
  // Setting up again is harmless.
  EXPECT_EQ(clientJson({"setup", "--executable", executable()}, 0)["outcome"], "ready");
  const std::string job = newJob("prepare");
  EXPECT_EQ(fs::path(job).parent_path(), parent_);

  ProcessResult probe = client({"probe", job});
  EXPECT_EQ(probe.exitCode, 0);
  EXPECT_EQ(probe.out, "free\n");

  const json prepared = clientJson(prepareWords(job), 0);
  EXPECT_EQ(prepared["outcome"], "prepared");
  EXPECT_EQ(prepared["prepared"]["version"], "2.0.0");
  EXPECT_EQ(prepared["prepared"]["cdhash"].get<std::string>().size(), 40u);

  testing::BackgroundProcess application({"/bin/sleep", "600"});
  const fs::path started = root_ / "started.log";
  ::setenv("MIRELO_SAMPLE_STARTED", started.c_str(), 1);
  const std::string session = newJob("install");
  const json ready = clientJson({"install", session, "--archive", archive_.string(), "--executable", executable(),
                                 "--version", "2.0.0", "--pid", std::to_string(application.pid()), "--prepared", job},
                                0);
  EXPECT_EQ(ready["outcome"], "ready");
  EXPECT_EQ(ready["directory"], session);
  // The session outlives the command that started it.
  probe = client({"probe", session});
  EXPECT_EQ(probe.exitCode, 3);
  EXPECT_EQ(probe.out, "busy\n");

  EXPECT_EQ(clientJson({"phase", session, "installing"}, 0)["phase"], "installing");
  application.signal(SIGTERM);
  application.wait();
  ASSERT_TRUE(waitUntil([&] { return fs::exists(started) && testing::readFile(started).find("2.0.0") != std::string::npos; }));

  // The relaunched application: a wrong version finds nothing, its own version confirms.
  EXPECT_EQ(clientJson({"confirm", "--executable", executable(), "--version", "1.0.0"}, 7)["outcome"], "no-session");
  const json confirmed = clientJson({"confirm", "--executable", executable(), "--version", "2.0.0"}, 0);
  EXPECT_EQ(confirmed["outcome"], "confirmed");
  EXPECT_EQ(confirmed["directory"], session);
  ASSERT_TRUE(waitUntil([&] { return client({"probe", session}).exitCode == 0; }));
  EXPECT_FALSE(hasStagingFolder(applications_));

  EXPECT_EQ(clientJson({"events"}, 0), (json{{"events", json::array()}}));
  EXPECT_EQ(clientJson({"last-failure", session}, 0), (json{{"failure", nullptr}}));
  const json cleaned = clientJson({"clean"}, 0);
  EXPECT_EQ(cleaned["removed"].size(), 2u);
  EXPECT_EQ(cleaned["skipped"], false);
  EXPECT_FALSE(fs::exists(job));
  EXPECT_FALSE(fs::exists(session));
}

TEST_F(Command, OutcomesAsTextAndJson) {
  const std::string job = newJob("prepare");
  // Failure: exit 1 with the helper's reason, in either form.
  ProcessResult failed = client(prepareWords(job, "3.0.0"));
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.out, "failed (background: Update identity mismatch)\n");
  EXPECT_EQ(failed.err, "");
  EXPECT_EQ(clientJson(prepareWords(job, "3.0.0"), 1),
            (json{{"outcome", "failed"}, {"failure", {{"stage", "background"}, {"reason", "Update identity mismatch"}}}}));
  EXPECT_EQ(client({"last-failure", job}).out, "background: Update identity mismatch\n");

  // Busy: a helper holds the directory.
  {
    UniqueFd lock(::open((fs::path(job) / "active.lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(clientJson(prepareWords(job), 3), (json{{"outcome", "busy"}}));
    EXPECT_EQ(client({"discard", job}).exitCode, 3);
  }
  const ProcessResult discarded = client({"discard", job});
  EXPECT_EQ(discarded.exitCode, 0);
  EXPECT_EQ(discarded.out, "discarded\n");

  // A phase where nothing waits is refused and not written.
  const ProcessResult phase = client({"phase", job, "complete"});
  EXPECT_EQ(phase.exitCode, 2);
  EXPECT_NE(phase.err.find("No update session is ready and running"), std::string::npos) << phase.err;
  EXPECT_FALSE(fs::exists(fs::path(job) / "phase"));
}

TEST_F(Command, BadCommandLinesExitTwo) {
  const std::string job = newJob("prepare");
  const struct {
    std::vector<std::string> words;
    const char* message;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command frobnicate"},
      {{"probe"}, "probe needs a work directory"},
      {{"prepare", job, "--archive", archive_.string()}, "missing --executable"},
      {{"install", job, "--archive", "a.zip", "--executable", "e", "--version", "2", "--pid", "12x"},
       "--pid must be a whole number"},
      {{"phase", job, "installing", "extra"}, "wrong number of arguments"},
      {{"probe", job, "--tag"}, "--tag needs a value"},
      {{"clean", "--bogus", "x"}, "unknown option --bogus"},
      {{"probe", (root_ / "nowhere").string()}, "is not a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const ProcessResult text = client(c.words);
    EXPECT_EQ(text.exitCode, 2);
    EXPECT_EQ(text.out, "");
    EXPECT_NE(text.err.find(c.message), std::string::npos) << text.err;

    std::vector<std::string> words = c.words;
    words.insert(words.begin(), "--json");
    const ProcessResult structured = client(words);
    EXPECT_EQ(structured.exitCode, 2);
    const json value = json::parse(structured.out, nullptr, false);
    EXPECT_EQ(value["outcome"], "error");
    EXPECT_NE(value["message"].get<std::string>().find(c.message), std::string::npos) << structured.out;
  }
}

TEST_F(Command, SigtermCancelsThePreparationAndProgressShowsOnATerminal) {
  const fs::path big = makeArchive("2.0.0", 1500, 40'000'000);
  const std::string job = newJob("prepare");
  const fs::path out = root_ / "out.txt", err = root_ / "err.txt";
  std::string command = "exec " + tool("mirelo-update-client") + " --parent '" + parent_.string() + "'";
  for (const std::string& word : prepareWords(job, "2.0.0", big)) command += " '" + word + "'";
  testing::BackgroundProcess running({"/bin/sh", "-c", command + " >'" + out.string() + "' 2>'" + err.string() + "'"});
  ASSERT_TRUE(waitUntil([&] { return hasStagingFolder(applications_); })) << "the preparation did not start";
  running.signal(SIGTERM);
  EXPECT_EQ(running.waitFor(60), 5);
  EXPECT_EQ(testing::readFile(out), "cancelled\n");
  // Not on a terminal: no progress display in the output of a script.
  EXPECT_EQ(testing::readFile(err), "");
  EXPECT_FALSE(hasStagingFolder(applications_));
  EXPECT_FALSE(fs::exists(fs::path(job) / "failure.json"));

  // On a terminal the long wait shows what it waits for, and the line is cleared at the end.
  // The large archive, so that the wait outlasts the first report of its progress.
  std::string whole = "exec " + tool("mirelo-update-client") + " --parent '" + parent_.string() + "'";
  for (const std::string& word : prepareWords(job, "2.0.0", big)) whole += " '" + word + "'";
  const ProcessResult shown = testing::runProcess({"/usr/bin/script", "-qec", whole + " 1>/dev/null", "/dev/null"});
  EXPECT_EQ(shown.exitCode, 0) << shown.out;
  EXPECT_NE(shown.out.find("Preparing the update"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("\r\033[K"), std::string::npos);
}

}  // namespace
}  // namespace mirelo
