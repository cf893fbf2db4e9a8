#pragma once

// An audio service held in memory, for tests of the logic that sits on the real one. It
// answers synchronously on the caller's thread and calls listeners only when a test says
// that something changed.

#include <cstddef>
#include <map>
#include <set>

#include "platform/audio/audio_service.h"

namespace mirelo {

class InMemoryAudioService final : public AudioService {
 public:
  struct Process {
    bool runningInput = false;
    std::optional<std::int32_t> pid;       // nothing: the pid cannot be read
    std::optional<std::string> bundleID;   // nothing: absent or unreadable
  };

  // Replaces the listed objects; the order of `objects` is the order the service reports.
  void setProcesses(std::vector<std::pair<AudioObjectId, Process>> objects);
  Process& process(AudioObjectId object);

  // The next `count` running-input registrations on `object` fail.
  void failRegistrations(AudioObjectId object, int count) { failures_[object] = count; }
  // The process-list registration fails.
  void failListRegistration() { failListRegistration_ = true; }

  // Calls the listeners as the service would on a change.
  void processListChanged();
  void runningInputChanged(AudioObjectId object);

  // Number of successful running-input registrations on `object` so far.
  int registrations(AudioObjectId object) const;
  std::size_t listListeners() const { return listListeners_.size(); }

  std::vector<AudioObjectId> processObjects() override;
  bool isRunningInput(AudioObjectId object) override;
  std::optional<std::int32_t> pid(AudioObjectId object) override;
  std::string bundleID(AudioObjectId object) override;
  bool addProcessListListener(AudioListener listener) override;
  bool addRunningInputListener(AudioObjectId object, AudioListener listener) override;

 private:
  std::vector<AudioObjectId> order_;
  std::map<AudioObjectId, Process> processes_;
  std::map<AudioObjectId, int> failures_;
  bool failListRegistration_ = false;
  std::vector<AudioListener> listListeners_;
  std::multimap<AudioObjectId, AudioListener> inputListeners_;
};

}  // namespace mirelo
