// The sound-server layer against real servers of the test's own, PulseAudio and PipeWire's
// PulseAudio server. The recording clients are made with libpulse inside this process
// (testing/pulse_client.h), so that each can be given exactly the stream flags a case needs
// (corked, level meter).

#include "platform/audio/pulse_audio_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>

#include "meeting-helper/serial_queue.h"
#include "testing/pulse_client.h"
#include "testing/sound_server.h"

namespace mirelo {
namespace {

using testing::PulseClient;
using testing::Seconds;
using testing::SoundServer;
using testing::SoundServerKind;
using testing::useServer;
using TestClient = PulseClient;

class PulseAudioServiceTest : public ::testing::TestWithParam<SoundServerKind> {
 protected:
  void SetUp() override {
    if (auto reason = SoundServer::unavailableReason(GetParam())) GTEST_SKIP() << *reason;
    server_ = SoundServer::create(GetParam());
    server_->start();
    useServer(*server_);
    service_ = PulseAudioService::connect([this](std::function<void()> task) { queue_.post(std::move(task)); });
    ASSERT_NE(service_, nullptr);
  }
  void TearDown() override {
    // Nothing posted by the service may run once it is gone.
    queue_.stop();
    service_.reset();
  }

  // Runs `work` on the queue, where the service expects its callers.
  template <typename Work>
  auto onQueue(Work work) {
    decltype(work()) result{};
    queue_.runSync([&] { result = work(); });
    return result;
  }

  std::vector<AudioObjectId> objects() {
    return onQueue([&] { return service_->processObjects(); });
  }

  // Polls until `condition` holds on the queue; generous, for a loaded machine.
  bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + Seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (onQueue(condition)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<SoundServer> server_;
  SerialQueue queue_{"audio-test"};
  std::unique_ptr<PulseAudioService> service_;
};

TEST_P(PulseAudioServiceTest, TellsWhichClientsCaptureInput) {
  struct Case {
    const char* applicationID;
    const char* device;  // nullptr: no stream
    bool corked;
    bool levelMeter;
    bool runningInput;
  };
  const Case cases[] = {
      {"com.example.microphone", SoundServer::kMicrophone, false, false, true},
      {"com.example.corked", SoundServer::kMicrophone, true, false, false},
      {"com.example.level-meter", SoundServer::kMicrophone, false, true, false},
      {"com.example.monitor", SoundServer::kMonitor, false, false, false},
      {"com.example.idle", nullptr, false, false, false},
  };
  std::vector<std::unique_ptr<TestClient>> clients;
  for (const auto& c : cases) {
    clients.push_back(std::make_unique<TestClient>(c.applicationID));
    if (c.device != nullptr) clients.back()->record(c.device, c.corked, c.levelMeter);
  }

  std::vector<AudioObjectId> listed = objects();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].applicationID);
    AudioObjectId id = clients[i]->index();
    EXPECT_NE(std::find(listed.begin(), listed.end(), id), listed.end());
    EXPECT_EQ(onQueue([&] { return service_->isRunningInput(id); }), cases[i].runningInput);
    // This process holds every client's connection and runs the program they declare; a
    // client that does not capture has no pid established.
    EXPECT_EQ(onQueue([&] { return service_->pid(id); }),
              cases[i].runningInput ? std::optional<std::int32_t>(::getpid()) : std::nullopt);
    EXPECT_EQ(onQueue([&] { return service_->bundleID(id); }), cases[i].applicationID);
  }
  // The server's order is the order the clients came in.
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));

  // Uncorking starts the capture.
  clients[1]->cork(false);
  AudioObjectId corked = clients[1]->index();
  EXPECT_TRUE(eventually([&] {
    service_->processObjects();
    return service_->isRunningInput(corked);
  }));
}

TEST_P(PulseAudioServiceTest, UnknownObjectsReadAsUnreadable) {
  objects();
  const AudioObjectId unknown = 999999;
  EXPECT_FALSE(onQueue([&] { return service_->isRunningInput(unknown); }));
  EXPECT_EQ(onQueue([&] { return service_->pid(unknown); }), std::nullopt);
  EXPECT_EQ(onQueue([&] { return service_->bundleID(unknown); }), "");
  EXPECT_FALSE(onQueue([&] { return service_->addRunningInputListener(unknown, [] {}); }));
}

TEST_P(PulseAudioServiceTest, ListenersRunOnTheQueueWhenClientsComeAndStartCapturing) {
  std::atomic<int> listChanges{0}, inputChanges{0};
  std::atomic<bool> offQueue{false};
  onQueue([&] {
    return service_->addProcessListListener([&] {
      if (!queue_.isWorkerThread()) offQueue = true;
      ++listChanges;
    });
  });

  auto client = std::make_unique<TestClient>("com.example.call");
  AudioObjectId id = client->index();
  ASSERT_TRUE(eventually([&] { return listChanges > 0; }));
  ASSERT_TRUE(onQueue([&] {
    service_->processObjects();
    return service_->addRunningInputListener(id, [&] {
      if (!queue_.isWorkerThread()) offQueue = true;
      ++inputChanges;
    });
  }));

  client->record(SoundServer::kMicrophone);
  EXPECT_TRUE(eventually([&] { return inputChanges > 0; }));

  int before = listChanges;
  client.reset();
  EXPECT_TRUE(eventually([&] { return listChanges > before; }));
  EXPECT_FALSE(offQueue);
}

TEST_P(PulseAudioServiceTest, ALostServerListsNothingUntilANewOneAnswers) {
  std::atomic<int> listChanges{0};
  onQueue([&] { return service_->addProcessListListener([&] { ++listChanges; }); });
  TestClient before("com.example.before");
  EXPECT_FALSE(objects().empty());

  int seen = listChanges;
  server_->stop();
  EXPECT_TRUE(eventually([&] { return listChanges > seen; }));
  EXPECT_TRUE(objects().empty());
  EXPECT_TRUE(objects().empty());  // tries again, finds no server

  server_->start();
  // The next call connects again; the listener carries over to the new connection.
  EXPECT_TRUE(eventually([&] { return !service_->processObjects().empty(); }));
  seen = listChanges;
  TestClient after("com.example.after");
  EXPECT_TRUE(eventually([&] { return listChanges > seen; }));
  std::vector<AudioObjectId> listed = objects();
  EXPECT_NE(std::find(listed.begin(), listed.end(), after.index()), listed.end());
}

INSTANTIATE_TEST_SUITE_P(SoundServers, PulseAudioServiceTest,
                         ::testing::Values(SoundServerKind::kPulseAudio, SoundServerKind::kPipeWire),
                         [](const auto& info) { return testing::nameOf(info.param); });

TEST(PulseAudioServiceWithoutServer, DoesNotConnectOrStartOne) {
  auto neverStarted = SoundServer::create(SoundServerKind::kPulseAudio);
  useServer(*neverStarted);
  SerialQueue queue("audio-test");
  auto service = PulseAudioService::connect([&](std::function<void()> task) { queue.post(std::move(task)); });
  EXPECT_EQ(service, nullptr);
  // No server was spawned in its place.
  EXPECT_FALSE(std::filesystem::exists(neverStarted->runtimeDir() / "pulse" / "native"));
  queue.stop();
}

}  // namespace
}  // namespace mirelo
