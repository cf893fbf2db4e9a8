#pragma once

// The files the application and the update helper exchange, as typed values. Everything
// read here was written by another process and is treated as untrusted: a record that is a
// link, too large, not JSON or of the wrong shape is absent.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirelo::client {

// request.json: what a background preparation should prepare.
struct PrepareRequest {
  std::filesystem::path archive;     // absolute, ends in ".zip"
  std::filesystem::path executable;  // the installed bundle's Contents/MacOS/<name>
  std::string version;
  std::string tag;
};

// native-install.json: what a foreground session should install.
struct InstallRequest {
  std::filesystem::path archive;
  std::filesystem::path executable;
  std::string version;
  pid_t pid = 0;  // the running application, whose exit allows the swap
  std::optional<std::filesystem::path> prepared;  // a preparation directory to adopt from
};

// failure.json: why the last run on a work directory failed, as the helper recorded it.
struct Failure {
  std::string stage;   // "background", "preparing", "replacement-or-relaunch", "cleanup"
  std::string reason;  // "Not enough disk space", "native-error-2", or a fixed message
};

// prepared.json: the candidate a successful preparation parked.
struct PreparedRecord {
  int64_t schema = 0;
  std::string version, tag, target, staging, bundle, inventory, cdhash;
  int64_t stagingDevice = 0;
  uint64_t stagingInode = 0, candidateInode = 0;
};

// One line of the launcher event log.
struct LauncherEvent {
  int64_t schema = 0;
  std::string id, outcome, stage, at;
  std::optional<std::string> version;
  std::optional<std::string> kind;
  bool rotated = false;  // read from launcher-events.1.jsonl
};

std::string encodeRequest(const PrepareRequest& request);
std::string encodeRequest(const InstallRequest& request);

// Records are read from `folder`; nothing when absent or unusable.
std::optional<Failure> readFailure(const std::filesystem::path& folder);
std::optional<PreparedRecord> readPrepared(const std::filesystem::path& file);
std::optional<InstallRequest> readInstallRequest(const std::filesystem::path& folder);

// Both generations of the event log in `parent`, oldest first. Lines that are not whole JSON
// objects of the log's shape are skipped.
std::vector<LauncherEvent> readEvents(const std::filesystem::path& parent);

}  // namespace mirelo::client
