#pragma once

// Watches an audio service for processes that capture audio input and writes the list as a
// JSON line whenever it changes. All of it runs on one serial queue (the service delivers
// its listeners there), so nothing here is locked.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "meeting-helper/report_stream.h"
#include "platform/audio/audio_service.h"

namespace mirelo {

class ProcessMonitor {
 public:
  ProcessMonitor(AudioService& service, StreamWriter write);
  ProcessMonitor(const ProcessMonitor&) = delete;
  ProcessMonitor& operator=(const ProcessMonitor&) = delete;

  // Registers the process-list listener (whether it took is not examined: the poll covers
  // the list either way) and writes the first report, which always writes a line.
  void start();

  // Builds the current list of capturing processes and writes it when its text differs
  // from the last line written.
  void report();

  // Makes sure a running-input listener is registered on every listed object. A failed
  // registration is tried again on the next call; ids no longer listed are forgotten.
  void watchProcesses(const std::vector<AudioObjectId>& objects);

  const std::set<AudioObjectId>& watched() const { return watched_; }

 private:
  AudioService& service_;
  StreamWriter write_;
  std::set<AudioObjectId> watched_;
  // The text of the last list written (the array alone), or nothing before the first.
  std::optional<std::string> lastLine_;
};

}  // namespace mirelo
