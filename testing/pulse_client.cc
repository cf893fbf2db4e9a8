#include "testing/pulse_client.h"

#include <cstdlib>
#include <stdexcept>

namespace mirelo::testing {
namespace {

struct Lock {
  explicit Lock(pa_threaded_mainloop* m) : m(m) { pa_threaded_mainloop_lock(m); }
  ~Lock() { pa_threaded_mainloop_unlock(m); }
  pa_threaded_mainloop* m;
};

void signalContext(pa_context*, void* m) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0); }
void signalStream(pa_stream*, void* m) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0); }
void signalSuccess(pa_stream*, int, void* m) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(m), 0); }

}  // namespace

void useServer(const SoundServer& server) {
  ::clearenv();
  for (const std::string& entry : server.env()) {
    auto equals = entry.find('=');
    ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
}

PulseClient::PulseClient(const std::string& applicationID) {
  mainloop_ = pa_threaded_mainloop_new();
  pa_threaded_mainloop_start(mainloop_);
  Lock lock(mainloop_);
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationID.c_str());
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), "test-client", properties);
  pa_proplist_free(properties);
  pa_context_set_state_callback(context_, &signalContext, mainloop_);
  pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
  while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) throw std::runtime_error("test client cannot connect");
    pa_threaded_mainloop_wait(mainloop_);
  }
}

PulseClient::~PulseClient() {
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

std::uint32_t PulseClient::index() {
  Lock lock(mainloop_);
  return pa_context_get_index(context_);
}

void PulseClient::record(const std::string& device, bool corked, bool levelMeter) {
  Lock lock(mainloop_);
  pa_sample_spec spec = levelMeter ? pa_sample_spec{PA_SAMPLE_FLOAT32LE, 25, 1} : pa_sample_spec{PA_SAMPLE_S16LE, 44100, 2};
  stream_ = pa_stream_new(context_, "test-record", &spec, nullptr);
  pa_stream_set_state_callback(stream_, &signalStream, mainloop_);
  int flags = PA_STREAM_NOFLAGS;
  if (corked) flags |= PA_STREAM_START_CORKED;
  if (levelMeter) flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_ADJUST_LATENCY;
  pa_stream_connect_record(stream_, device.c_str(), nullptr, static_cast<pa_stream_flags_t>(flags));
  while (pa_stream_get_state(stream_) != PA_STREAM_READY) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) throw std::runtime_error("test stream failed");
    pa_threaded_mainloop_wait(mainloop_);
  }
}

void PulseClient::cork(bool corked) {
  Lock lock(mainloop_);
  pa_operation* op = pa_stream_cork(stream_, corked ? 1 : 0, &signalSuccess, mainloop_);
  while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(mainloop_);
  pa_operation_unref(op);
}

}  // namespace mirelo::testing
