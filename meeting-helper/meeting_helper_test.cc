// The helper program end to end, against real sound servers of the test's own (PulseAudio,
// and PipeWire with its PulseAudio server) and real recorders.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/pulse_client.h"
#include "testing/sound_server.h"

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

class MeetingHelperTest : public ::testing::TestWithParam<SoundServerKind> {
 protected:
  void SetUp() override {
    if (auto reason = SoundServer::unavailableReason(GetParam())) GTEST_SKIP() << *reason;
    server_ = SoundServer::create(GetParam());
    server_->start();
  }

  // Waits for the helper to write exactly `line`, skipping lines on the way there.
  void expectLine(HelperProcess& helper, const std::string& line) {
    auto found = helper.lineWhere([&](const std::string& l) { return l == line; });
    ASSERT_TRUE(found) << "never written: " << line << "\nwritten:\n" << helper.outputSoFar();
  }

  // Stops the helper by closing its input, as the desktop application does.
  void expectCleanEnd(HelperProcess& helper) {
    helper.closeInput();
    EXPECT_EQ(helper.waitExit(), 0);
    EXPECT_EQ(helper.errorText(), "");
  }

  std::unique_ptr<SoundServer> server_;
};

TEST_P(MeetingHelperTest, ReportsAProcessThatStartsAndStopsCapturing) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder recorder(*server_, SoundServer::kMicrophone, "com.example.call");
  // The next line is the one that lists it, under its own pid and not the server's:
  // nothing else changed in between.
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid(), "com.example.call")}));
  EXPECT_NE(recorder.pid(), server_->protocolServerPid());

  pid_t pid = recorder.pid();
  recorder.stop();
  EXPECT_EQ(helper.nextLine(), kEmpty);
  expectCleanEnd(helper);
  EXPECT_EQ(helper.outputSoFar(), std::string(kEmpty) + "\n" +
                                      appsLine({entry(pid, "com.example.call")}) + "\n" + kEmpty + "\n");
}

// Cases that only PipeWire has: native clients.
class MeetingHelperPipeWireTest : public MeetingHelperTest {};

TEST_P(MeetingHelperPipeWireTest, ReportsANativePipeWireClientUnderItsOwnPid) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  auto native = Recorder::native(*server_, SoundServer::kMicrophone);
  expectLine(helper, appsLine({entry(native->pid())}));
  // Beside a client of the PulseAudio protocol, each under its own pid.
  Recorder pulse(*server_, SoundServer::kMicrophone, "com.example.call");
  std::vector<std::string> both = {entry(native->pid()), entry(pulse.pid(), "com.example.call")};
  if (pulse.pid() < native->pid()) std::swap(both[0], both[1]);
  expectLine(helper, appsLine(both));

  native->stop();
  expectLine(helper, appsLine({entry(pulse.pid(), "com.example.call")}));
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperTest, TwoCapturingProcessesAreListedInPidOrder) {
  // The recorder with the smaller pid connects last, so the server lists it second.
  int gate[2];
  ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
  SpawnOptions options;
  options.environment = server_->env();
  options.input = gate[0];
  BackgroundProcess early({"sh", "-c", "read go; exec parecord --raw --device=source.null /dev/null"}, options);
  ::close(gate[0]);
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder late(*server_, SoundServer::kMicrophone, "com.example.late");
  ASSERT_LT(early.pid(), late.pid());
  expectLine(helper, appsLine({entry(late.pid(), "com.example.late")}));

  ASSERT_EQ(::write(gate[1], "go\n", 3), 3);
  ::close(gate[1]);
  expectLine(helper, appsLine({entry(early.pid()), entry(late.pid(), "com.example.late")}));

  early.signal(SIGKILL);
  early.wait();
  expectLine(helper, appsLine({entry(late.pid(), "com.example.late")}));
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperTest, RecordingASinksMonitorIsNotCapturingInput) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  Recorder monitor(*server_, SoundServer::kMonitor, "com.example.screen-recorder");
  ASSERT_TRUE(server_->waitForSourceOutputs(1));
  Recorder microphone(*server_, SoundServer::kMicrophone, "com.example.call");
  // The first line that lists anything lists the microphone alone.
  auto line = helper.lineWhere([](const std::string& l) { return l != kEmpty; });
  ASSERT_TRUE(line) << helper.outputSoFar();
  EXPECT_EQ(*line, appsLine({entry(microphone.pid(), "com.example.call")}));

  microphone.stop();
  EXPECT_EQ(helper.nextLine(), kEmpty);
  expectCleanEnd(helper);
}

// A recorder of this test process, whose stream starts paused (corked) and is resumed and
// paused again: only the running stream counts.
TEST_P(MeetingHelperTest, APausedStreamIsNotCapturingInput) {
  useServer(*server_);
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  PulseClient client("com.example.paused");
  client.record(SoundServer::kMicrophone, /*corked=*/true);
  ASSERT_TRUE(server_->waitForSourceOutputs(1));
  // Still nothing after more than a poll.
  EXPECT_FALSE(helper.nextLine(Seconds(1.5))) << helper.outputSoFar();

  client.cork(false);
  expectLine(helper, appsLine({entry(::getpid(), "com.example.paused")}));
  client.cork(true);
  expectLine(helper, kEmpty);
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperTest, SurvivesTheServerAndReconnectsToANewOne) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  {
    Recorder recorder(*server_, SoundServer::kMicrophone, "com.example.call");
    expectLine(helper, appsLine({entry(recorder.pid(), "com.example.call")}));

    server_->stop();
    EXPECT_EQ(helper.nextLine(), kEmpty);
  }
  // Still running, and quiet, for several polls without a server.
  EXPECT_FALSE(helper.waitExit(Seconds(2.5)));
  EXPECT_FALSE(helper.nextLine(Seconds(0)));

  server_->start();
  Recorder recorder(*server_, SoundServer::kMicrophone, "com.example.again");
  expectLine(helper, appsLine({entry(recorder.pid(), "com.example.again")}));
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperTest, InputContentIsIgnoredAndItsEndStopsTheHelper) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  helper.writeInput("quit\n{\"apps\":[]}\n\x04\n");
  EXPECT_FALSE(helper.waitExit(Seconds(0.5)));

  Recorder recorder(*server_, SoundServer::kMicrophone);
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid())}));
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperTest, InputClosedRightAfterStartStillGetsTheFirstLine) {
  Recorder recorder(*server_, SoundServer::kMicrophone, "com.example.call");
  // Wait until the recorder's stream runs, so the first line is known in advance.
  ASSERT_TRUE(server_->waitForRunningSourceOutputs(1));

  HelperProcess helper(server_->env());
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.nextLine(), appsLine({entry(recorder.pid(), "com.example.call")}));
  EXPECT_FALSE(helper.nextLine(Seconds(0)));
  EXPECT_EQ(helper.errorText(), "");
}

// Without a server at all: one line, exit 0, standard input never read.
TEST_P(MeetingHelperTest, WithoutAServerWritesTheUnsupportedLineAndExits) {
  server_->stop();
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), R"({"unsupported":true})");
  // Standard input stays open: the helper ends by itself.
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_FALSE(helper.nextLine(Seconds(0)));
  EXPECT_EQ(helper.errorText(), "");
}

// A client that declares a pid it does not have is never reported under it; the honest
// recorder beside it still is.
TEST_P(MeetingHelperTest, ADeclaredPidThatIsNotTheClientsIsNotBelieved) {
  std::string initName = readFile("/proc/1/comm");
  initName.erase(initName.find_last_not_of('\n') + 1);
  struct Case {
    const char* name;
    std::string properties;
  };
  const Case cases[] = {
      {"init's pid and program", "application.process.id=1 application.process.binary=" + initName},
      {"a pid that does not exist", "application.process.id=2147483647"},
  };
  Recorder honest(*server_, SoundServer::kMicrophone, "com.example.honest");
  ASSERT_TRUE(server_->waitForRunningSourceOutputs(1));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HelperProcess helper(server_->env());
    EXPECT_EQ(helper.nextLine(), appsLine({entry(honest.pid(), "com.example.honest")}));
    auto liar = Recorder::withProperties(*server_, SoundServer::kMicrophone, c.properties);
    ASSERT_TRUE(server_->waitForRunningSourceOutputs(2));
    // Longer than a poll: no line, because nothing that can be reported changed.
    EXPECT_FALSE(helper.nextLine(Seconds(1.5))) << helper.outputSoFar();
    liar->stop();
    expectCleanEnd(helper);
  }
}

// Recorders in a sandbox of their own, laid out as Flatpak does it: reported under their
// pid on the host (not the pid 2 they have inside) and the sandbox's application id.
class MeetingHelperSandboxTest : public MeetingHelperTest {
 protected:
  void SetUp() override {
    if (auto reason = Recorder::sandboxUnavailableReason()) GTEST_SKIP() << *reason;
    MeetingHelperTest::SetUp();
  }
};

TEST_P(MeetingHelperSandboxTest, ASandboxedRecorderIsReportedUnderItsHostPid) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);

  auto sandboxed = Recorder::sandboxed(*server_, Recorder::parecordCommand(SoundServer::kMicrophone),
                                       "org.example.Sandboxed");
  ASSERT_NE(sandboxed->pid(), 2);
  EXPECT_EQ(helper.nextLine(), appsLine({entry(sandboxed->pid(), "org.example.Sandboxed")}));
  sandboxed->stop();
  expectLine(helper, kEmpty);

  // An application id the client declares comes first.
  auto named = Recorder::sandboxed(
      *server_, Recorder::parecordCommand(SoundServer::kMicrophone, "com.example.declared"), "org.example.Other");
  expectLine(helper, appsLine({entry(named->pid(), "com.example.declared")}));
  named->stop();
  expectLine(helper, kEmpty);
  expectCleanEnd(helper);
}

TEST_P(MeetingHelperSandboxTest, TwoSandboxesWithTheSameInnerPidAreBothReported) {
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  auto first = Recorder::sandboxed(*server_, Recorder::parecordCommand(SoundServer::kMicrophone), "org.example.First");
  auto second =
      Recorder::sandboxed(*server_, Recorder::parecordCommand(SoundServer::kMicrophone), "org.example.Second");
  ASSERT_LT(first->pid(), second->pid());
  expectLine(helper, appsLine({entry(first->pid(), "org.example.First"), entry(second->pid(), "org.example.Second")}));
  // With one of them left, it is the one process that matches again.
  first->stop();
  expectLine(helper, appsLine({entry(second->pid(), "org.example.Second")}));
  expectCleanEnd(helper);
}

INSTANTIATE_TEST_SUITE_P(SoundServers, MeetingHelperSandboxTest,
                         ::testing::Values(SoundServerKind::kPulseAudio, SoundServerKind::kPipeWire),
                         [](const auto& info) { return nameOf(info.param); });

INSTANTIATE_TEST_SUITE_P(SoundServers, MeetingHelperTest,
                         ::testing::Values(SoundServerKind::kPulseAudio, SoundServerKind::kPipeWire),
                         [](const auto& info) { return nameOf(info.param); });

TEST_P(MeetingHelperPipeWireTest, ASandboxedNativeClientIsReportedUnderItsHostPid) {
  if (auto reason = Recorder::sandboxUnavailableReason()) GTEST_SKIP() << *reason;
  HelperProcess helper(server_->env());
  EXPECT_EQ(helper.nextLine(), kEmpty);
  auto sandboxed = Recorder::sandboxed(*server_, Recorder::pwRecordCommand(SoundServer::kMicrophone),
                                       "org.example.NativeSandboxed");
  ASSERT_NE(sandboxed->pid(), 2);
  expectLine(helper, appsLine({entry(sandboxed->pid(), "org.example.NativeSandboxed")}));
  expectCleanEnd(helper);
}

INSTANTIATE_TEST_SUITE_P(SoundServers, MeetingHelperPipeWireTest, ::testing::Values(SoundServerKind::kPipeWire),
                         [](const auto& info) { return nameOf(info.param); });

// libpulse has something to complain about (a runtime folder owned by someone else); the
// complaint must not reach the helper's standard error.
TEST(MeetingHelperWithoutServer, KeepsLibpulseDiagnosticsOffStandardError) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the runtime folder to another user";
  auto neverStarted = SoundServer::create(SoundServerKind::kPulseAudio);
  auto runtime = neverStarted->runtimeDir();
  ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
  neverStarted->unsetVariable("PULSE_RUNTIME_PATH");
  // The same client library says so out loud when it is not told to keep quiet.
  ProcessResult pactl = neverStarted->run({"pactl", "info"});
  ASSERT_NE(pactl.err.find("not owned by us"), std::string::npos) << pactl.err;

  HelperProcess helper(neverStarted->env());
  EXPECT_EQ(helper.nextLine(), R"({"unsupported":true})");
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.errorText(), "");
}

}  // namespace
}  // namespace mirelo::testing
