#include "update-helper/eventlog/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/path_text.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "platform/uuid.h"
#include "update-helper/common/helper_process.h"
#include "update-helper/common/version.h"

namespace mirelo {
namespace {

constexpr size_t kMaxKindLength = 64;

bool isAsciiAlnum(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// 32 lower-case hexadecimal digits of a fresh random UUID.
std::string eventId() {
  std::string id;
  for (char c : randomUuidText()) {
    if (c != '-') id.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return id;
}

// The current time in UTC as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string eventTime() {
  auto now = std::chrono::system_clock::now();
  auto sinceEpoch = std::chrono::floor<std::chrono::milliseconds>(now.time_since_epoch());
  auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  auto milliseconds = (sinceEpoch - seconds).count();
  time_t whole = static_cast<time_t>(seconds.count());
  struct tm utc {};
  if (::gmtime_r(&whole, &utc) == nullptr) throw std::runtime_error("time out of range");
  char text[64];
  int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                             static_cast<int>(milliseconds));
  return std::string(text, static_cast<size_t>(length));
}

std::string eventLine(std::string_view outcome, std::optional<std::string_view> version, std::string_view stage,
                      std::optional<std::string_view> kind) {
  nlohmann::json event = {
      {"schema", 1},
      {"id", eventId()},
      {"outcome", std::string(outcome)},
      {"stage", std::string(stage)},
      {"at", eventTime()},
  };
  if (version && isLoggableVersion(*version)) event["version"] = std::string(*version);
  if (kind) event["kind"] = eventKind(*kind);
  // Throws on text that is not valid UTF-8; the caller then drops the line.
  std::string line = event.dump();
  line.push_back('\n');
  return line;
}

void appendLine(const std::string& logDirectory, const std::string& line) {
  std::string current = logDirectory + "/" + kEventLogName;
  std::string rotated = logDirectory + "/" + kRotatedEventLogName;

  // lstat measures a symbolic link in place of the log as the link itself, so a link is
  // only ever moved, never followed.
  struct stat status {};
  if (::lstat(current.c_str(), &status) == 0 && status.st_size >= kEventLogRotationSize) {
    if (::rename(current.c_str(), rotated.c_str()) != 0 && status.st_size >= kEventLogDropSize) return;
  }

  // Non-blocking, so that a named pipe put in place of the log cannot stall the session: the
  // open then fails and the line is dropped. Regular files are unaffected.
  UniqueFd fd(::open(current.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd) return;
  // One write keeps concurrent writers' lines whole; a short write is not completed.
  [[maybe_unused]] ssize_t written = ::write(fd.get(), line.data(), line.size());
}

}  // namespace

bool isLoggableVersion(std::string_view version) { return isVersionText(version); }

std::string eventKind(std::string_view kind) {
  std::string result;
  for (const std::string& cluster : text::graphemeClusters(text::toLower(kind))) {
    if (result.size() == kMaxKindLength) break;
    bool keep = cluster.size() == 1 && isAsciiAlnum(static_cast<unsigned char>(cluster[0]));
    result.push_back(keep ? cluster[0] : '-');
  }
  return result;
}

std::string eventLogDirectory(std::string_view workDirectory) {
  if (workDirectory.empty()) return {};
  const std::string_view path = path_text::withoutTrailingSlashes(workDirectory);
  if (path == "/") return "/";

  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (last == "." || last == "..") return std::string(path) + "/..";
  if (slash == std::string_view::npos) return ".";

  std::string_view parent = path.substr(0, slash);
  while (!parent.empty() && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

void noteOutcomeIn(const std::string& logDirectory, std::string_view outcome, std::optional<std::string_view> version,
                   std::string_view stage, std::optional<std::string_view> kind) noexcept {
  try {
    // A path with a NUL byte would name some other file once it reaches the system.
    if (logDirectory.empty() || path_text::hasNul(logDirectory)) return;
    appendLine(logDirectory, eventLine(outcome, version, stage, kind));
  } catch (...) {
    // Logging is housekeeping: any failure drops the line.
  }
}

void noteOutcome(std::string_view outcome, std::optional<std::string_view> version, std::string_view stage,
                 std::optional<std::string_view> kind) noexcept {
  try {
    noteOutcomeIn(eventLogDirectory(helperProcess().directory), outcome, version, stage, kind);
  } catch (...) {
  }
}

}  // namespace mirelo
