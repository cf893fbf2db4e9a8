#include "platform/audio/pulse_audio_service.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

namespace mirelo {
namespace {

constexpr char kApplicationName[] = "mirelo-meeting-helper";

// One round of list queries: what the callbacks collect before the answers are combined.
struct Picture {
  struct Output {
    std::uint32_t index;
    std::uint32_t client;
    std::uint32_t source;
    bool corked;
    bool levelMeter;
  };
  struct Client {
    AudioObjectId index;
    std::optional<std::int32_t> peerPid;      // "pipewire.sec.pid"
    std::optional<std::int32_t> declaredPid;  // "application.process.id"
    std::string declaredBinary;               // "application.process.binary"
    std::string bundleID;
  };
  std::vector<Client> clients;
  std::unordered_set<std::uint32_t> monitorSources;
  std::vector<Output> outputs;
  pa_threaded_mainloop* mainloop = nullptr;
};

std::optional<std::int32_t> parsePid(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::int32_t value = 0;
  const char* end = text + std::strlen(text);
  auto [rest, error] = std::from_chars(text, end, value);
  if (error != std::errc() || rest != end || text == end) return std::nullopt;
  return value;
}

// The file-system path of the socket named by a server string ("/run/user/1000/pulse/native",
// "unix:/...", "{machine}unix:/..."); "" for a server reached otherwise (TCP).
std::string socketPathOf(const char* server) {
  if (server == nullptr) return {};
  std::string_view text = server;
  if (text.starts_with("{")) {
    auto close = text.find('}');
    if (close == std::string_view::npos) return {};
    text.remove_prefix(close + 1);
  }
  if (text.starts_with("unix:")) text.remove_prefix(5);
  if (!text.starts_with("/")) return {};
  return std::string(text);
}

std::string textOf(const pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text != nullptr ? text : "";
}

void onClient(pa_context*, const pa_client_info* info, int eol, void* data) {
  auto* picture = static_cast<Picture*>(data);
  if (eol != 0) {
    pa_threaded_mainloop_signal(picture->mainloop, 0);
    return;
  }
  picture->clients.push_back({info->index, parsePid(pa_proplist_gets(info->proplist, "pipewire.sec.pid")),
                              parsePid(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)),
                              textOf(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
                              textOf(info->proplist, PA_PROP_APPLICATION_ID)});
}

void onSource(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* picture = static_cast<Picture*>(data);
  if (eol != 0) {
    pa_threaded_mainloop_signal(picture->mainloop, 0);
    return;
  }
  if (info->monitor_of_sink != PA_INVALID_INDEX) picture->monitorSources.insert(info->index);
}

void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* data) {
  auto* picture = static_cast<Picture*>(data);
  if (eol != 0) {
    pa_threaded_mainloop_signal(picture->mainloop, 0);
    return;
  }
  // PulseAudio names the resampler of a level meter "peaks"; PipeWire's PulseAudio server
  // always says "PipeWire" there and marks such a stream with "resample.peaks" instead.
  const char* peaks = pa_proplist_gets(info->proplist, "resample.peaks");
  bool levelMeter = (info->resample_method != nullptr && std::strcmp(info->resample_method, "peaks") == 0) ||
                    (peaks != nullptr && std::strcmp(peaks, "true") == 0);
  picture->outputs.push_back({info->index, info->client, info->source, info->corked != 0, levelMeter});
}

// Drops our reference to an operation; libpulse keeps it alive while it runs.
struct OperationRef {
  pa_operation* op;
  ~OperationRef() {
    if (op != nullptr) pa_operation_unref(op);
  }
  bool finished() const { return op == nullptr || pa_operation_get_state(op) != PA_OPERATION_RUNNING; }
  bool done() const { return op != nullptr && pa_operation_get_state(op) == PA_OPERATION_DONE; }
};

}  // namespace

std::unique_ptr<PulseAudioService> PulseAudioService::connect(Poster post) {
  // libpulse writes its diagnostics to standard error unless told otherwise; this helper's
  // streams belong to the desktop application. The variable is read when libpulse logs
  // for the first time.
  ::setenv("PULSE_LOG_SYSLOG", "1", 0);

  std::unique_ptr<PulseAudioService> service(new PulseAudioService(std::move(post)));
  if (service->mainloop_ == nullptr) return nullptr;
  pa_threaded_mainloop_lock(service->mainloop_);
  bool connected = service->connectLocked();
  pa_threaded_mainloop_unlock(service->mainloop_);
  if (!connected) return nullptr;
  return service;
}

PulseAudioService::PulseAudioService(Poster post) : post_(std::move(post)) {
  mainloop_ = pa_threaded_mainloop_new();
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_set_name(mainloop_, "pulse-events");
  if (pa_threaded_mainloop_start(mainloop_) < 0) {
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
  }
}

PulseAudioService::~PulseAudioService() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_lock(mainloop_);
  disconnectLocked();
  pa_threaded_mainloop_unlock(mainloop_);
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

bool PulseAudioService::connectLocked() {
  disconnectLocked();
  link_ = Link::kLostReported;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  context_ = pa_context_new(api, kApplicationName);
  if (context_ == nullptr) return false;
  pa_context_set_state_callback(context_, &PulseAudioService::onContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    disconnectLocked();
    return false;
  }
  bool settled = waitLocked([this] {
    pa_context_state_t state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (!settled || pa_context_get_state(context_) != PA_CONTEXT_READY) {
    disconnectLocked();
    return false;
  }
  socketPath_ = socketPathOf(pa_context_get_server(context_));
  pa_context_set_subscribe_callback(context_, &PulseAudioService::onSubscription, this);
  auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SOURCE |
                                                  PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
  // Waited for, so that whatever happens on the server after this returns is heard of.
  OperationRef subscription{pa_context_subscribe(context_, mask, &PulseAudioService::onSuccess, mainloop_)};
  if (!waitLocked([&] { return subscription.finished(); }) || !subscription.done()) {
    disconnectLocked();
    return false;
  }
  link_ = Link::kConnected;
  return true;
}

void PulseAudioService::disconnectLocked() {
  if (context_ == nullptr) return;
  // Without callbacks first: the disconnection itself must not count as a lost server.
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

bool PulseAudioService::waitLocked(const std::function<bool()>& done) {
  if (done()) return true;
  waitExpired_ = false;
  pa_usec_t deadline = pa_rtclock_now() + std::chrono::duration_cast<std::chrono::microseconds>(kTimeLimit).count();
  pa_time_event* limit = pa_context_rttime_new(context_, deadline, &PulseAudioService::onTimeLimit, this);
  bool finished = false;
  while (!(finished = done()) && !waitExpired_) pa_threaded_mainloop_wait(mainloop_);
  if (limit != nullptr) pa_threaded_mainloop_get_api(mainloop_)->time_free(limit);
  return finished;
}

bool PulseAudioService::queryLocked() {
  Picture picture;
  picture.mainloop = mainloop_;
  OperationRef clients{pa_context_get_client_info_list(context_, onClient, &picture)};
  OperationRef sources{pa_context_get_source_info_list(context_, onSource, &picture)};
  OperationRef outputs{pa_context_get_source_output_info_list(context_, onSourceOutput, &picture)};
  bool finished = waitLocked([&] {
    return (clients.finished() && sources.finished() && outputs.finished()) ||
           !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
  });
  if (!finished || !clients.done() || !sources.done() || !outputs.done()) {
    // Nothing may call into `picture` once this returns.
    for (pa_operation* op : {clients.op, sources.op, outputs.op}) {
      if (op != nullptr) pa_operation_cancel(op);
    }
    return false;
  }

  // On PipeWire every client carries the pid of its peer on PipeWire's socket, which the
  // server takes from the kernel and no client can set. A client that came through the
  // PulseAudio protocol shares that peer with us: pipewire-pulse itself. Our own entry
  // tells which pid that is. On PulseAudio our entry has no such property, and whatever a
  // client put there is its own claim.
  const AudioObjectId self = pa_context_get_index(context_);
  std::optional<std::int32_t> bridge;
  bool onPipeWire = false;
  for (const auto& client : picture.clients) {
    if (client.index == self && client.peerPid) {
      bridge = client.peerPid;
      onPipeWire = true;
    }
  }

  order_.clear();
  clients_.clear();
  for (auto& client : picture.clients) {
    order_.push_back(client.index);
    bool native = onPipeWire && client.peerPid && client.peerPid != bridge;
    Client entry;
    entry.claim.client = client.index;
    if (native) entry.claim.verifiedPid = client.peerPid;
    entry.claim.declaredPid = client.declaredPid;
    entry.claim.declaredBinary = std::move(client.declaredBinary);
    entry.declaredBundleID = std::move(client.bundleID);
    clients_[client.index] = std::move(entry);
  }
  outputOwners_.clear();
  for (const auto& output : picture.outputs) {
    outputOwners_[output.index] = output.client;
    if (output.corked || output.levelMeter || picture.monitorSources.contains(output.source)) continue;
    if (auto it = clients_.find(output.client); it != clients_.end()) it->second.claim.capturing = true;
  }
  return true;
}

void PulseAudioService::establishProcesses() {
  std::set<AudioObjectId> capturing;
  std::set<std::pair<AudioObjectId, bool>> clientsNow;
  for (const auto& [index, client] : clients_) {
    if (client.claim.capturing) capturing.insert(index);
    clientsNow.emplace(index, client.claim.capturing);
  }
  std::erase_if(established_, [&](const auto& entry) { return !clients_.contains(entry.first); });

  if (clientsNow != establishedFor_) {
    // A verified pid, or a declared one proven on the host, stays true while its client
    // lives. What was found through a sandbox's namespace, and every failure, depends on
    // who else is connected and capturing, so it is established again.
    std::erase_if(established_, [](const auto& entry) {
      const auto& how = entry.second.how;
      return !how || (*how != Establishment::kVerified && *how != Establishment::kDeclared);
    });
    bool needed = std::any_of(capturing.begin(), capturing.end(), [&](AudioObjectId id) { return !established_.contains(id); });
    establishedFor_ = clientsNow;
    if (needed) {
      std::vector<ClientClaim> claims;
      bool needsConnections = false;
      for (AudioObjectId id : order_) {
        const ClientClaim& claim = clients_[id].claim;
        claims.push_back(claim);
        if (claim.capturing && !claim.verifiedPid && !established_.contains(id)) needsConnections = true;
      }
      std::optional<std::vector<ConnectedProcess>> connected = std::vector<ConnectedProcess>();
      if (needsConnections) connected = socketPath_.empty() ? connected : readConnectedProcesses(socketPath_);
      if (!connected) {
        // The kernel could not be asked this time; try again on the next report.
        establishedFor_.clear();
        connected.emplace();
      }
      std::map<AudioObjectId, EstablishedPid> found = establishPids(claims, *connected);
      for (AudioObjectId id : capturing) {
        if (established_.contains(id)) continue;
        Established result;
        if (auto it = found.find(id); it != found.end()) {
          result.pid = it->second.pid;
          result.how = it->second.how;
          result.sandboxID = flatpakApplicationID(it->second.pid).value_or("");
        }
        established_[id] = std::move(result);
      }
    }
  }

  for (auto& [index, client] : clients_) {
    client.pid.reset();
    client.bundleID = client.declaredBundleID;
    auto it = established_.find(index);
    if (!client.claim.capturing || it == established_.end() || !it->second.pid) continue;
    client.pid = it->second.pid;
    // Which client of a group is which process cannot be told: the process names itself.
    if (it->second.how == Establishment::kNamespaceGroup || client.bundleID.empty()) {
      client.bundleID = it->second.sandboxID;
    }
  }
}

std::vector<AudioObjectId> PulseAudioService::processObjects() {
  pa_threaded_mainloop_lock(mainloop_);
  bool ok = false;
  if (link_ == Link::kLost) {
    link_ = Link::kLostReported;
  } else if (link_ == Link::kConnected || connectLocked()) {
    ok = queryLocked();
    if (!ok) link_ = Link::kLostReported;
  }
  if (!ok) disconnectLocked();
  pa_threaded_mainloop_unlock(mainloop_);

  // Outside the lock: reading /proc must not hold up the server's events.
  if (ok) establishProcesses();

  if (!ok) {
    // The objects went with the server; a new server numbers its clients afresh.
    order_.clear();
    clients_.clear();
    established_.clear();
    establishedFor_.clear();
    outputOwners_.clear();
    inputListeners_.clear();
  }
  return order_;
}

bool PulseAudioService::isRunningInput(AudioObjectId object) {
  auto it = clients_.find(object);
  return it != clients_.end() && it->second.claim.capturing;
}

std::optional<std::int32_t> PulseAudioService::pid(AudioObjectId object) {
  auto it = clients_.find(object);
  if (it == clients_.end()) return std::nullopt;
  return it->second.pid;
}

std::string PulseAudioService::bundleID(AudioObjectId object) {
  auto it = clients_.find(object);
  return it != clients_.end() ? it->second.bundleID : std::string();
}

bool PulseAudioService::addProcessListListener(AudioListener listener) {
  listListeners_.push_back(std::move(listener));
  return true;
}

bool PulseAudioService::addRunningInputListener(AudioObjectId object, AudioListener listener) {
  if (!clients_.contains(object)) return false;
  inputListeners_.emplace(object, std::move(listener));
  return true;
}

void PulseAudioService::deliverListChanged() {
  pa_threaded_mainloop_lock(mainloop_);
  listDeliveryPending_ = false;
  pa_threaded_mainloop_unlock(mainloop_);
  // Copied: a listener may register more listeners while it runs.
  auto listeners = listListeners_;
  for (auto& listener : listeners) listener();
}

void PulseAudioService::deliverSourceOutputEvent(pa_subscription_event_type_t type, std::uint32_t index) {
  std::optional<AudioObjectId> owner;
  bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
  if (!removed) {
    pa_threaded_mainloop_lock(mainloop_);
    if (link_ == Link::kConnected) {
      struct Lookup {
        pa_threaded_mainloop* mainloop;
        std::optional<AudioObjectId> client;
      } lookup{mainloop_, std::nullopt};
      auto onInfo = [](pa_context*, const pa_source_output_info* info, int eol, void* data) {
        auto* found = static_cast<Lookup*>(data);
        if (eol == 0) {
          found->client = info->client;
        } else {
          pa_threaded_mainloop_signal(found->mainloop, 0);
        }
      };
      OperationRef query{pa_context_get_source_output_info(context_, index, onInfo, &lookup)};
      bool finished = waitLocked([&] { return query.finished() || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); });
      if (!finished && query.op != nullptr) pa_operation_cancel(query.op);
      owner = lookup.client;
    }
    pa_threaded_mainloop_unlock(mainloop_);
  }
  if (auto known = outputOwners_.find(index); known != outputOwners_.end()) {
    if (!owner) owner = known->second;
    if (removed) outputOwners_.erase(known);
  }
  if (owner && !removed) outputOwners_[index] = *owner;

  if (!owner) {
    // An output we never saw, already gone: someone may have stopped capturing.
    auto listeners = listListeners_;
    for (auto& listener : listeners) listener();
    return;
  }
  // Outputs that belong to the server's own modules have no client and no listeners.
  std::vector<AudioListener> listeners;
  auto [first, last] = inputListeners_.equal_range(*owner);
  for (auto it = first; it != last; ++it) listeners.push_back(it->second);
  for (auto& listener : listeners) listener();
}

void PulseAudioService::onContextState(pa_context* context, void* data) {
  auto* self = static_cast<PulseAudioService*>(data);
  pa_threaded_mainloop_signal(self->mainloop_, 0);
  if (self->link_ == Link::kConnected && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    self->link_ = Link::kLost;
    if (!self->listDeliveryPending_) {
      self->listDeliveryPending_ = true;
      self->post_([self] { self->deliverListChanged(); });
    }
  }
}

void PulseAudioService::onSubscription(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                                       void* data) {
  auto* self = static_cast<PulseAudioService*>(data);
  auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
    self->post_([self, event, index] { self->deliverSourceOutputEvent(event, index); });
    return;
  }
  if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && type == PA_SUBSCRIPTION_EVENT_REMOVE) {
    // A client's listeners go with it, so that an index the server hands out again starts
    // without them.
    self->post_([self, index] { self->inputListeners_.erase(index); });
  }
  if (!self->listDeliveryPending_) {
    self->listDeliveryPending_ = true;
    self->post_([self] { self->deliverListChanged(); });
  }
}

void PulseAudioService::onSuccess(pa_context*, int, void* mainloop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
}

void PulseAudioService::onTimeLimit(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
  auto* self = static_cast<PulseAudioService*>(data);
  self->waitExpired_ = true;
  pa_threaded_mainloop_signal(self->mainloop_, 0);
}

}  // namespace mirelo
