#pragma once

// The audio service over a PulseAudio server (PipeWire's PulseAudio server answers the
// same), reached through libpulse's threaded main loop.
//
// Process objects are the server's clients, by their 32-bit index, in the server's order.
// A client is running input while it owns at least one source output that is not corked,
// records from a source that is not the monitor of a sink, and is not a level meter
// (resample method "peaks" on PulseAudio, property "resample.peaks" on PipeWire). Its
// bundle identifier is "application.id".
//
// The pid of a capturing client is established, never merely believed (client_process.h):
// for a native PipeWire client, "pipewire.sec.pid", which PipeWire takes from the kernel
// (a client of PipeWire's PulseAudio server carries that server's own there, the same as
// our own client entry does, and on PulseAudio whatever is there is the client's claim);
// otherwise the declared "application.process.id", checked against the processes that
// hold a connection to the server's socket (its path from the connection itself). A
// client whose process cannot be established reads as having no pid; one that declares no
// "application.id" but runs in a Flatpak sandbox gets the sandbox's application id. The
// processes are established when the set of capturing clients changes, and what was proven
// on the host is kept per client while it lives. A client that is not capturing has no pid.
//
// processObjects() takes one consistent picture of the server (clients, sources and source
// outputs, asked for together and answered in one round trip); the three per-object
// properties are answered from the picture of the latest processObjects() call. An id
// outside that picture reads as unreadable.
//
// Listeners: one subscription to client, source and source-output events. Client and
// source events call the process-list listeners; a source-output event calls the
// running-input listeners of the client that owns the output (or the list listeners when
// the owner cannot be found). Every listener runs through the poster given at
// construction, that is on the caller's serial queue.
//
// A connection lost after start calls the list listeners, and processObjects() then
// reports an empty list. The next call after that tries to connect again, and every later
// call does so until it succeeds. The running-input listeners go with the lost server;
// the list listeners carry over to the new connection.
//
// Everything but the constructor runs on the serial queue. Whoever owns the queue stops it
// before this service is destroyed, so that no posted task outlives it. The service never
// starts a server, and nothing of libpulse reaches standard error: its own diagnostics are
// sent to the system log.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/audio/audio_service.h"
#include "platform/audio/client_process.h"

namespace mirelo {

class PulseAudioService final : public AudioService {
 public:
  // Runs a task later on the caller's serial queue.
  using Poster = std::function<void(std::function<void()>)>;

  // Connects to the server. Nothing when no server answers within the time limit.
  static std::unique_ptr<PulseAudioService> connect(Poster post);

  ~PulseAudioService() override;
  PulseAudioService(const PulseAudioService&) = delete;
  PulseAudioService& operator=(const PulseAudioService&) = delete;

  std::vector<AudioObjectId> processObjects() override;
  bool isRunningInput(AudioObjectId object) override;
  std::optional<std::int32_t> pid(AudioObjectId object) override;
  std::string bundleID(AudioObjectId object) override;
  bool addProcessListListener(AudioListener listener) override;
  bool addRunningInputListener(AudioObjectId object, AudioListener listener) override;

  // How long a connection attempt or one round of queries may take before the server
  // counts as gone.
  static constexpr std::chrono::milliseconds kTimeLimit{2000};

 private:
  struct Client {
    ClientClaim claim;  // `capturing`: running input
    std::string declaredBundleID;
    // What is reported, from the established process of a capturing client.
    std::optional<std::int32_t> pid;
    std::string bundleID;
  };
  // The process found for a capturing client; no `how` when none could be.
  struct Established {
    std::optional<std::int32_t> pid;
    std::optional<Establishment> how;
    std::string sandboxID;  // the Flatpak application id of that process, or ""
  };
  enum class Link { kConnected, kLost, kLostReported };

  explicit PulseAudioService(Poster post);

  // These run with the main loop's lock held.
  bool connectLocked();
  void disconnectLocked();
  bool waitLocked(const std::function<bool()>& done);
  bool queryLocked();
  // Finds the processes of the capturing clients of the latest picture (client_process.h),
  // when the set of capturing clients has changed since the last time.
  void establishProcesses();

  void deliverListChanged();
  void deliverSourceOutputEvent(pa_subscription_event_type_t type, std::uint32_t index);

  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t event,
                             std::uint32_t index, void* self);
  static void onSuccess(pa_context* context, int success, void* mainloop);
  static void onTimeLimit(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                          void* self);

  Poster post_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool waitExpired_ = false;  // guarded by the main loop's lock

  // Guarded by the main loop's lock: the state callback writes it.
  Link link_ = Link::kConnected;
  // Set while a list-changed delivery waits on the queue, so that a burst of events costs
  // one report.
  bool listDeliveryPending_ = false;

  // Touched only on the serial queue.
  std::vector<AudioObjectId> order_;
  std::unordered_map<AudioObjectId, Client> clients_;
  std::unordered_map<AudioObjectId, Established> established_;
  // Every client, and whether it captures, when pids were last established: a client that
  // comes or goes changes what can be established, even when it does not capture.
  std::set<std::pair<AudioObjectId, bool>> establishedFor_;
  std::string socketPath_;                  // of the server we are connected to; "" if not a Unix socket
  std::unordered_map<std::uint32_t, AudioObjectId> outputOwners_;
  std::vector<AudioListener> listListeners_;
  std::multimap<AudioObjectId, AudioListener> inputListeners_;
};

}  // namespace mirelo
