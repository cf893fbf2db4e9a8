#include "platform/audio/in_memory_audio_service.h"

#include <utility>

namespace mirelo {

void InMemoryAudioService::setProcesses(std::vector<std::pair<AudioObjectId, Process>> objects) {
  order_.clear();
  processes_.clear();
  for (auto& [id, process] : objects) {
    order_.push_back(id);
    processes_[id] = std::move(process);
  }
}

InMemoryAudioService::Process& InMemoryAudioService::process(AudioObjectId object) {
  return processes_.at(object);
}

void InMemoryAudioService::processListChanged() {
  // Copied: a listener may register further listeners while it runs.
  auto listeners = listListeners_;
  for (auto& listener : listeners) listener();
}

void InMemoryAudioService::runningInputChanged(AudioObjectId object) {
  std::vector<AudioListener> listeners;
  auto [first, last] = inputListeners_.equal_range(object);
  for (auto it = first; it != last; ++it) listeners.push_back(it->second);
  for (auto& listener : listeners) listener();
}

int InMemoryAudioService::registrations(AudioObjectId object) const {
  return static_cast<int>(inputListeners_.count(object));
}

std::vector<AudioObjectId> InMemoryAudioService::processObjects() { return order_; }

bool InMemoryAudioService::isRunningInput(AudioObjectId object) {
  auto it = processes_.find(object);
  return it != processes_.end() && it->second.runningInput;
}

std::optional<std::int32_t> InMemoryAudioService::pid(AudioObjectId object) {
  auto it = processes_.find(object);
  if (it == processes_.end()) return std::nullopt;
  return it->second.pid;
}

std::string InMemoryAudioService::bundleID(AudioObjectId object) {
  auto it = processes_.find(object);
  if (it == processes_.end() || !it->second.bundleID) return "";
  return *it->second.bundleID;
}

bool InMemoryAudioService::addProcessListListener(AudioListener listener) {
  if (failListRegistration_) return false;
  listListeners_.push_back(std::move(listener));
  return true;
}

bool InMemoryAudioService::addRunningInputListener(AudioObjectId object, AudioListener listener) {
  if (auto it = failures_.find(object); it != failures_.end() && it->second > 0) {
    --it->second;
    return false;
  }
  if (!processes_.contains(object)) return false;
  inputListeners_.emplace(object, std::move(listener));
  return true;
}

}  // namespace mirelo
