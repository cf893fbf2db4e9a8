#pragma once

// A client of a sound server made with libpulse inside the test process, so that a test can
// give it exactly the stream flags a case needs (corked, level meter) and change them while
// it runs. Its pid is the test process's own.

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

#include "testing/sound_server.h"

namespace mirelo::testing {

// Makes this process a client of `server` only: its environment becomes the server's.
void useServer(const SoundServer& server);

// A client of its own, with an application id and at most one recording stream.
class PulseClient {
 public:
  explicit PulseClient(const std::string& applicationID);
  ~PulseClient();
  PulseClient(const PulseClient&) = delete;
  PulseClient& operator=(const PulseClient&) = delete;

  // The server's index of this client.
  std::uint32_t index();

  // Records from `device`; the way a level meter does when `levelMeter` is set: mono float
  // at a low rate with peak detection.
  void record(const std::string& device, bool corked = false, bool levelMeter = false);
  void cork(bool corked);

 private:
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
};

}  // namespace mirelo::testing
