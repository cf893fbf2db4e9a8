#pragma once

// The narrow view of the system's audio service that the meeting helper needs: a list of
// audio process objects, three properties of each, and listeners that say when any of
// that may have changed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirelo {

// Identifies one audio process object of the service. Ids are only meaningful while the
// object is listed; the service may reuse them later.
using AudioObjectId = std::uint32_t;

// Called when a watched property may have changed. Implementations say on which thread.
using AudioListener = std::function<void()>;

class AudioService {
 public:
  virtual ~AudioService() = default;

  // The current process objects, in the service's own order; empty on any failure.
  virtual std::vector<AudioObjectId> processObjects() = 0;

  // Whether the object is capturing audio input; false when that cannot be read.
  virtual bool isRunningInput(AudioObjectId object) = 0;

  // The object's process id, or nothing when it cannot be read.
  virtual std::optional<std::int32_t> pid(AudioObjectId object) = 0;

  // The object's bundle identifier, or "" when it has none or it cannot be read.
  virtual std::string bundleID(AudioObjectId object) = 0;

  // Calls `listener` whenever the list of process objects may have changed. Returns
  // whether the registration took.
  virtual bool addProcessListListener(AudioListener listener) = 0;

  // Calls `listener` whenever the object may have started or stopped capturing input.
  // Returns whether the registration took; a failed one may be tried again later.
  virtual bool addRunningInputListener(AudioObjectId object, AudioListener listener) = 0;
};

}  // namespace mirelo
