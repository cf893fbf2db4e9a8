// The helper program end to end, against a real PulseAudio server of the test's own and
// real `parecord` recorders.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "meeting-helper/pulse_test_support.h"

namespace mirelo::testing {
namespace {

constexpr char kEmpty[] = R"({"apps":[]})";

std::string entry(pid_t pid, const std::string& id = "") {
  return nlohmann::json{{"id", id}, {"pid", pid}}.dump();
}
std::string appsLine(const std::vector<std::string>& entries) {
  std::string line = R"({"apps":[)";
  for (size_t i = 0; i < entries.size(); ++i) line += (i > 0 ? "," : "") + entries[i];
  return line + "]}";
}

class MeetingHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.start(); }

  // Waits for the helper to write exactly `line`, skipping lines on the way there.
  void expectLine(HelperProcess& helper, const std::string& line) {
    auto found = helper.lineWhere([&](const std::string& l) { return l == line; });
    ASSERT_TRUE(found) << "never written: " << line << "\nwritten:\n" << helper.outputSoFar();
  }

  // Waits until the server has `count` recording streams.
  bool waitForSourceOutputs(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + Seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string out = server_.run({"pactl", "list", "short", "source-outputs"}).out;
      if (static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Stops the helper by closing its input, as the desktop application does.
  void expectCleanEnd(HelperProcess& helper) {
    helper.closeInput();
    EXPECT_EQ(helper.waitExit(), 0);
    EXPECT_EQ(helper.errorText(), "");
  }

  PulseTestServer server_;
};

TEST_F(MeetingHelperTest, ReportsAProcessThatStartsAndStopsCapturing) {
  HelperProcess helper(server_.env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder recorder(server_, PulseTestServer::kMicrophone, "com.example.call");
  // The next line is the one that lists it: nothing else changed in between.
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid(), "com.example.call")}));

  pid_t pid = recorder.pid();
  recorder.stop();
  EXPECT_EQ(helper.nextLine(), kEmpty);
  expectCleanEnd(helper);
  EXPECT_EQ(helper.outputSoFar(), std::string(kEmpty) + "\n" +
                                      appsLine({entry(pid, "com.example.call")}) + "\n" + kEmpty + "\n");
}

TEST_F(MeetingHelperTest, TwoCapturingProcessesAreListedInPidOrder) {
  // The recorder with the smaller pid connects last, so the server lists it second.
  int gate[2];
  ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
  pid_t early = spawnProcess({"sh", "-c", "read go; exec parecord --raw --device=source.null /dev/null"},
                             server_.env(), gate[0], -1, -1);
  ::close(gate[0]);
  HelperProcess helper(server_.env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder late(server_, PulseTestServer::kMicrophone, "com.example.late");
  ASSERT_LT(early, late.pid());
  expectLine(helper, appsLine({entry(late.pid(), "com.example.late")}));

  ASSERT_EQ(::write(gate[1], "go\n", 3), 3);
  ::close(gate[1]);
  expectLine(helper, appsLine({entry(early), entry(late.pid(), "com.example.late")}));

  killAndReap(early);
  expectLine(helper, appsLine({entry(late.pid(), "com.example.late")}));
  expectCleanEnd(helper);
}

TEST_F(MeetingHelperTest, RecordingASinksMonitorIsNotCapturingInput) {
  HelperProcess helper(server_.env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder monitor(server_, PulseTestServer::kMonitor, "com.example.screen-recorder");
  ASSERT_TRUE(waitForSourceOutputs(1));
  Recorder microphone(server_, PulseTestServer::kMicrophone, "com.example.call");
  // The first line that lists anything lists the microphone alone.
  auto line = helper.lineWhere([](const std::string& l) { return l != kEmpty; });
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, appsLine({entry(microphone.pid(), "com.example.call")}));

  microphone.stop();
  EXPECT_EQ(helper.nextLine(), kEmpty);
  expectCleanEnd(helper);
}

TEST_F(MeetingHelperTest, SurvivesTheServerAndReconnectsToANewOne) {
  HelperProcess helper(server_.env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  {
    Recorder recorder(server_, PulseTestServer::kMicrophone, "com.example.call");
    expectLine(helper, appsLine({entry(recorder.pid(), "com.example.call")}));

    server_.stop();
    EXPECT_EQ(helper.nextLine(), kEmpty);
  }
  // Still running, and quiet, for several polls without a server.
  EXPECT_FALSE(helper.waitExit(Seconds(2.5)));
  EXPECT_FALSE(helper.nextLine(Seconds(0)));

  server_.start();
  Recorder recorder(server_, PulseTestServer::kMicrophone, "com.example.again");
  expectLine(helper, appsLine({entry(recorder.pid(), "com.example.again")}));
  expectCleanEnd(helper);
}

TEST_F(MeetingHelperTest, InputContentIsIgnoredAndItsEndStopsTheHelper) {
  HelperProcess helper(server_.env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  helper.writeInput("quit\n{\"apps\":[]}\n\x04\n");
  EXPECT_FALSE(helper.waitExit(Seconds(0.5)));

  Recorder recorder(server_, PulseTestServer::kMicrophone);
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid())}));
  expectCleanEnd(helper);
}

TEST_F(MeetingHelperTest, InputClosedRightAfterStartStillGetsTheFirstLine) {
  Recorder recorder(server_, PulseTestServer::kMicrophone, "com.example.call");
  // Wait until the server knows the recorder, so the first line is known in advance.
  ASSERT_TRUE(waitForSourceOutputs(1));

  HelperProcess helper(server_.env());
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid(), "com.example.call")}));
  EXPECT_FALSE(helper.nextLine(Seconds(0)));
  EXPECT_EQ(helper.errorText(), "");
}

// Without a server at all: one line, exit 0, standard input never read.
TEST(MeetingHelperWithoutServer, WritesTheUnsupportedLineAndExits) {
  PulseTestServer neverStarted;
  HelperProcess helper(neverStarted.env());
  EXPECT_EQ(helper.nextLine(), R"({"unsupported":true})");
  // Standard input stays open: the helper ends by itself.
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_FALSE(helper.nextLine(Seconds(0)));
  EXPECT_EQ(helper.errorText(), "");
}

// libpulse has something to complain about (a runtime folder owned by someone else); the
// complaint must not reach the helper's standard error.
TEST(MeetingHelperWithoutServer, KeepsLibpulseDiagnosticsOffStandardError) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the runtime folder to another user";
  PulseTestServer neverStarted;
  auto runtime = neverStarted.dir() / "runtime";
  ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
  neverStarted.unsetVariable("PULSE_RUNTIME_PATH");
  // The same client library says so out loud when it is not told to keep quiet.
  ProcessResult pactl = neverStarted.run({"pactl", "info"});
  ASSERT_NE(pactl.err.find("not owned by us"), std::string::npos) << pactl.err;

  HelperProcess helper(neverStarted.env());
  EXPECT_EQ(helper.nextLine(), R"({"unsupported":true})");
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.errorText(), "");
}

}  // namespace
}  // namespace mirelo::testing
