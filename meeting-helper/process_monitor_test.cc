#include "meeting-helper/process_monitor.h"

#include <gtest/gtest.h>

#include "platform/audio/in_memory_audio_service.h"

namespace mirelo {
namespace {

using Process = InMemoryAudioService::Process;

Process capturing(std::optional<std::int32_t> pid, const char* bundle = nullptr) {
  Process process;
  process.runningInput = true;
  process.pid = pid;
  if (bundle != nullptr) process.bundleID = bundle;
  return process;
}

class ProcessMonitorTest : public ::testing::Test {
 protected:
  // The lines written so far; every line must have come as two writes, text then "\n".
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    EXPECT_EQ(writes_.size() % 2, 0u);
    for (size_t i = 0; i + 1 < writes_.size(); i += 2) {
      EXPECT_EQ(writes_[i + 1], "\n");
      EXPECT_EQ(writes_[i].find('\n'), std::string::npos);
      result.push_back(writes_[i]);
    }
    return result;
  }

  InMemoryAudioService service_;
  std::vector<std::string> writes_;
  ProcessMonitor monitor_{service_, [this](std::string_view bytes) { writes_.emplace_back(bytes); }};
};

TEST_F(ProcessMonitorTest, FirstReportAlwaysWritesAndUnchangedReportsWriteNothing) {
  monitor_.start();
  EXPECT_EQ(service_.listListeners(), 1u);
  ASSERT_EQ(writes_, (std::vector<std::string>{R"({"apps":[]})", "\n"}));

  for (int i = 0; i < 5; ++i) monitor_.report();
  service_.processListChanged();
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(ProcessMonitorTest, FirstReportIsWrittenWhenTheListListenerCannotBeRegistered) {
  service_.failListRegistration();
  service_.setProcesses({{3, capturing(412)}});
  monitor_.start();
  EXPECT_EQ(lines(), (std::vector<std::string>{R"({"apps":[{"id":"","pid":412}]})"}));
}

TEST(ProcessMonitorReport, BuildsTheListFromTheService) {
  struct Case {
    const char* name;
    std::vector<std::pair<AudioObjectId, Process>> processes;
    const char* line;
  };
  const Case cases[] = {
      {"nothing listed", {}, R"({"apps":[]})"},
      {"not capturing", {{1, Process{false, 100, "a.b"}}}, R"({"apps":[]})"},
      {"capturing with a bundle id", {{1, capturing(100, "com.example.call")}},
       R"({"apps":[{"id":"com.example.call","pid":100}]})"},
      {"bundle id absent", {{1, capturing(100)}}, R"({"apps":[{"id":"","pid":100}]})"},
      {"pid unreadable is left out", {{1, capturing(std::nullopt, "x")}, {2, capturing(5)}},
       R"({"apps":[{"id":"","pid":5}]})"},
      {"sorted by pid", {{1, capturing(977)}, {2, capturing(412)}},
       R"({"apps":[{"id":"","pid":412},{"id":"","pid":977}]})"},
      {"equal pids keep the service's order", {{9, capturing(7, "b")}, {3, capturing(7, "a")}, {4, capturing(6, "c")}},
       R"({"apps":[{"id":"c","pid":6},{"id":"b","pid":7},{"id":"a","pid":7}]})"},
      {"pids are signed", {{1, capturing(3)}, {2, capturing(-2)}},
       R"({"apps":[{"id":"","pid":-2},{"id":"","pid":3}]})"},
      {"escapes", {{1, capturing(1, "a\"b\\c/d\x01")}}, R"({"apps":[{"id":"a\"b\\c/d\u0001","pid":1}]})"},
      {"non-ASCII stays UTF-8", {{1, capturing(1, "caf\xc3\xa9")}}, "{\"apps\":[{\"id\":\"caf\xc3\xa9\",\"pid\":1}]}"},
      {"invalid UTF-8 does not hide the others", {{1, capturing(1, "bad\xff")}, {2, capturing(2, "ok")}},
       "{\"apps\":[{\"id\":\"bad\xef\xbf\xbd\",\"pid\":1},{\"id\":\"ok\",\"pid\":2}]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InMemoryAudioService service;
    service.setProcesses(c.processes);
    std::string written;
    ProcessMonitor monitor(service, [&](std::string_view bytes) { written += bytes; });
    monitor.start();
    EXPECT_EQ(written, std::string(c.line) + "\n");
  }
}

TEST_F(ProcessMonitorTest, WritesALineOnlyWhenTheListsTextChanges) {
  service_.setProcesses({{1, capturing(977)}, {2, capturing(412)}});
  monitor_.start();

  // The service lists the same processes in another order.
  service_.setProcesses({{2, capturing(412)}, {1, capturing(977)}});
  service_.processListChanged();
  EXPECT_EQ(lines().size(), 1u);

  // A process stops and starts again between two reports.
  service_.process(1).runningInput = false;
  service_.process(1).runningInput = true;
  monitor_.report();
  EXPECT_EQ(lines().size(), 1u);

  // A bundle id appears.
  service_.process(2).bundleID = "com.example.call";
  monitor_.report();
  // A process stops capturing; its listener reports it.
  service_.process(1).runningInput = false;
  service_.runningInputChanged(1);
  // A process quits.
  service_.setProcesses({{1, Process{false, 977, std::nullopt}}});
  service_.processListChanged();

  EXPECT_EQ(lines(), (std::vector<std::string>{
                         R"({"apps":[{"id":"","pid":412},{"id":"","pid":977}]})",
                         R"({"apps":[{"id":"com.example.call","pid":412},{"id":"","pid":977}]})",
                         R"({"apps":[{"id":"com.example.call","pid":412}]})",
                         R"({"apps":[]})",
                     }));
}

TEST_F(ProcessMonitorTest, RunningInputListenerReportsAProcessThatStartsCapturing) {
  service_.setProcesses({{4, Process{false, 300, "com.example.call"}}});
  monitor_.start();
  service_.process(4).runningInput = true;
  service_.runningInputChanged(4);
  EXPECT_EQ(lines(), (std::vector<std::string>{R"({"apps":[]})", R"({"apps":[{"id":"com.example.call","pid":300}]})"}));
}

TEST_F(ProcessMonitorTest, FailedRegistrationIsRetriedOnTheNextReport) {
  service_.setProcesses({{1, capturing(10)}, {2, capturing(20)}});
  service_.failRegistrations(2, 2);
  monitor_.start();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{1}));

  monitor_.report();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{1}));
  monitor_.report();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{1, 2}));

  // Watched objects are not registered twice.
  monitor_.report();
  EXPECT_EQ(service_.registrations(1), 1);
  EXPECT_EQ(service_.registrations(2), 1);
  // The failed process was reported all along: the poll covers it.
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(ProcessMonitorTest, ObjectsThatLeaveAreForgottenAndRegisteredAgainWhenTheyReturn) {
  service_.setProcesses({{1, capturing(10)}, {2, capturing(20)}});
  monitor_.start();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{1, 2}));

  service_.setProcesses({{2, capturing(20)}});
  monitor_.report();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{2}));

  service_.setProcesses({{1, capturing(10)}, {2, capturing(20)}});
  monitor_.report();
  EXPECT_EQ(monitor_.watched(), (std::set<AudioObjectId>{1, 2}));
  EXPECT_EQ(service_.registrations(1), 2);
  EXPECT_EQ(service_.registrations(2), 1);

  service_.setProcesses({});
  monitor_.report();
  EXPECT_TRUE(monitor_.watched().empty());
  EXPECT_EQ(lines().back(), R"({"apps":[]})");
}

}  // namespace
}  // namespace mirelo
