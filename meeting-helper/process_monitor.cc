#include "meeting-helper/process_monitor.h"

#include <algorithm>
#include <utility>

namespace mirelo {

using nlohmann::json;

ProcessMonitor::ProcessMonitor(AudioService& service, StreamWriter write)
    : service_(service), write_(std::move(write)) {}

void ProcessMonitor::start() {
  service_.addProcessListListener([this] { report(); });
  report();
}

void ProcessMonitor::watchProcesses(const std::vector<AudioObjectId>& objects) {
  for (AudioObjectId object : objects) {
    if (watched_.contains(object)) continue;
    if (service_.addRunningInputListener(object, [this] { report(); })) watched_.insert(object);
  }
  // Listeners of objects that left the list stay with the service; forgetting the id means
  // a reappearing object is registered again.
  std::erase_if(watched_, [&](AudioObjectId id) {
    return std::find(objects.begin(), objects.end(), id) == objects.end();
  });
}

void ProcessMonitor::report() {
  std::vector<AudioObjectId> objects = service_.processObjects();
  watchProcesses(objects);

  struct Entry {
    std::int32_t pid;
    std::string id;
  };
  std::vector<Entry> entries;
  for (AudioObjectId object : objects) {
    if (!service_.isRunningInput(object)) continue;
    std::optional<std::int32_t> pid = service_.pid(object);
    if (!pid) continue;
    entries.push_back({*pid, service_.bundleID(object)});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.pid < b.pid; });

  json apps = json::array();
  for (auto& entry : entries) apps.push_back({{"id", std::move(entry.id)}, {"pid", entry.pid}});

  std::optional<std::string> snapshot;
  try {
    snapshot = apps.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const json::exception&) {
  }
  if (snapshot == lastLine_) return;
  lastLine_ = std::move(snapshot);
  emit({{"apps", std::move(apps)}}, write_);
}

}  // namespace mirelo
