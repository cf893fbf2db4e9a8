// The PulseAudio layer against a real server of the test's own. The recording clients are
// made here with libpulse, so that each can be given exactly the stream flags a case needs
// (corked, level meter); all of them run in this process.

#include "platform/audio/pulse_audio_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>

#include "meeting-helper/pulse_test_support.h"
#include "meeting-helper/serial_queue.h"

namespace mirelo {
namespace {

using testing::PulseTestServer;
using testing::Seconds;

// Makes this process a client of `server` only.
void useServer(const PulseTestServer& server) {
  ::clearenv();
  for (const std::string& entry : server.env()) {
    auto equals = entry.find('=');
    ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
}

// A client of its own, with an application id and at most one recording stream.
class TestClient {
 public:
  explicit TestClient(const std::string& applicationID) {
    mainloop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(mainloop_);
    Lock lock(mainloop_);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationID.c_str());
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), "test-client", properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(context_, &TestClient::signal, mainloop_);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) throw std::runtime_error("test client cannot connect");
      pa_threaded_mainloop_wait(mainloop_);
    }
  }
  ~TestClient() {
    {
      Lock lock(mainloop_);
      if (stream_ != nullptr) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
      }
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
  }

  AudioObjectId index() {
    Lock lock(mainloop_);
    return pa_context_get_index(context_);
  }

  // Records from `device` the way a level meter does when `levelMeter` is set: mono float
  // at a low rate with peak detection.
  void record(const std::string& device, bool corked = false, bool levelMeter = false) {
    Lock lock(mainloop_);
    pa_sample_spec spec = levelMeter ? pa_sample_spec{PA_SAMPLE_FLOAT32LE, 25, 1}
                                     : pa_sample_spec{PA_SAMPLE_S16LE, 44100, 2};
    stream_ = pa_stream_new(context_, "test-record", &spec, nullptr);
    pa_stream_set_state_callback(stream_, &TestClient::signalStream, mainloop_);
    int flags = PA_STREAM_NOFLAGS;
    if (corked) flags |= PA_STREAM_START_CORKED;
    if (levelMeter) flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_ADJUST_LATENCY;
    pa_stream_connect_record(stream_, device.c_str(), nullptr, static_cast<pa_stream_flags_t>(flags));
    while (pa_stream_get_state(stream_) != PA_STREAM_READY) {
      if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) throw std::runtime_error("test stream failed");
      pa_threaded_mainloop_wait(mainloop_);
    }
  }

  void cork(bool corked) {
    Lock lock(mainloop_);
    pa_operation* op = pa_stream_cork(stream_, corked ? 1 : 0, &TestClient::signalSuccess, mainloop_);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(mainloop_);
    pa_operation_unref(op);
  }

 private:
  struct Lock {
    explicit Lock(pa_threaded_mainloop* m) : m(m) { pa_threaded_mainloop_lock(m); }
    ~Lock() { pa_threaded_mainloop_unlock(m); }
    pa_threaded_mainloop* m;
  };
  static void signal(pa_context*, void* m) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0); }
  static void signalStream(pa_stream*, void* m) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0);
  }
  static void signalSuccess(pa_stream*, int, void* m) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0);
  }

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
};

class PulseAudioServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    useServer(server_);
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

  PulseTestServer server_;
  SerialQueue queue_{"audio-test"};
  std::unique_ptr<PulseAudioService> service_;
};

TEST_F(PulseAudioServiceTest, TellsWhichClientsCaptureInput) {
  struct Case {
    const char* applicationID;
    const char* device;  // nullptr: no stream
    bool corked;
    bool levelMeter;
    bool runningInput;
  };
  const Case cases[] = {
      {"com.example.microphone", PulseTestServer::kMicrophone, false, false, true},
      {"com.example.corked", PulseTestServer::kMicrophone, true, false, false},
      {"com.example.level-meter", PulseTestServer::kMicrophone, false, true, false},
      {"com.example.monitor", PulseTestServer::kMonitor, false, false, false},
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
    EXPECT_EQ(onQueue([&] { return service_->pid(id); }), std::optional<std::int32_t>(::getpid()));
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

TEST_F(PulseAudioServiceTest, UnknownObjectsReadAsUnreadable) {
  objects();
  const AudioObjectId unknown = 999999;
  EXPECT_FALSE(onQueue([&] { return service_->isRunningInput(unknown); }));
  EXPECT_EQ(onQueue([&] { return service_->pid(unknown); }), std::nullopt);
  EXPECT_EQ(onQueue([&] { return service_->bundleID(unknown); }), "");
  EXPECT_FALSE(onQueue([&] { return service_->addRunningInputListener(unknown, [] {}); }));
}

TEST_F(PulseAudioServiceTest, ListenersRunOnTheQueueWhenClientsComeAndStartCapturing) {
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

  client->record(PulseTestServer::kMicrophone);
  EXPECT_TRUE(eventually([&] { return inputChanges > 0; }));

  int before = listChanges;
  client.reset();
  EXPECT_TRUE(eventually([&] { return listChanges > before; }));
  EXPECT_FALSE(offQueue);
}

TEST_F(PulseAudioServiceTest, ALostServerListsNothingUntilANewOneAnswers) {
  std::atomic<int> listChanges{0};
  onQueue([&] { return service_->addProcessListListener([&] { ++listChanges; }); });
  TestClient before("com.example.before");
  EXPECT_FALSE(objects().empty());

  int seen = listChanges;
  server_.stop();
  EXPECT_TRUE(eventually([&] { return listChanges > seen; }));
  EXPECT_TRUE(objects().empty());
  EXPECT_TRUE(objects().empty());  // tries again, finds no server

  server_.start();
  // The next call connects again; the listener carries over to the new connection.
  EXPECT_TRUE(eventually([&] { return !service_->processObjects().empty(); }));
  seen = listChanges;
  TestClient after("com.example.after");
  EXPECT_TRUE(eventually([&] { return listChanges > seen; }));
  std::vector<AudioObjectId> listed = objects();
  EXPECT_NE(std::find(listed.begin(), listed.end(), after.index()), listed.end());
}

TEST(PulseAudioServiceWithoutServer, DoesNotConnectOrStartOne) {
  PulseTestServer neverStarted;
  useServer(neverStarted);
  SerialQueue queue("audio-test");
  auto service = PulseAudioService::connect([&](std::function<void()> task) { queue.post(std::move(task)); });
  EXPECT_EQ(service, nullptr);
  // No server was spawned in its place.
  EXPECT_FALSE(std::filesystem::exists(neverStarted.dir() / "runtime" / "pulse" / "native"));
  queue.stop();
}

}  // namespace
}  // namespace mirelo
