#include "client/records.h"

#include <limits>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "client/files.h"

namespace mirelo::client {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// The helper reads no record larger than this; the client holds them to the same size.
constexpr size_t kRecordLimit = 16384;
// The log rotates at 64 KiB and stops growing at 256 KiB; a line may pass either mark.
constexpr size_t kLogLimit = 1 << 20;

std::optional<json> parseObject(const std::string& text) {
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return std::nullopt;
  return value;
}

bool takeString(const json& object, const char* key, std::string& out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool takeSigned(const json& object, const char* key, int64_t& out) {
  auto it = object.find(key);
  if (it == object.end()) return false;
  if (it->is_number_unsigned()) {
    if (it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    out = static_cast<int64_t>(it->get<uint64_t>());
    return true;
  }
  if (!it->is_number_integer()) return false;
  out = it->get<int64_t>();
  return true;
}

bool takeUnsigned(const json& object, const char* key, uint64_t& out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number_unsigned()) {
    // A non-negative value may arrive as a signed integer.
    if (it != object.end() && it->is_number_integer() && it->get<int64_t>() >= 0) {
      out = static_cast<uint64_t>(it->get<int64_t>());
      return true;
    }
    return false;
  }
  out = it->get<uint64_t>();
  return true;
}

}  // namespace

std::string encodeRequest(const PrepareRequest& request) {
  return json{{"archive", request.archive.string()},
              {"executable", request.executable.string()},
              {"version", request.version},
              {"tag", request.tag}}
      .dump();
}

std::string encodeRequest(const InstallRequest& request) {
  json value = {{"archive", request.archive.string()},
                {"executable", request.executable.string()},
                {"version", request.version},
                {"pid", request.pid}};
  if (request.prepared) value["prepared"] = request.prepared->string();
  return value.dump();
}

std::optional<Failure> readFailure(const fs::path& folder) {
  const auto text = readSmallFile(folder / "failure.json", kRecordLimit);
  if (!text) return std::nullopt;
  const auto object = parseObject(*text);
  Failure failure;
  if (!object || !takeString(*object, "stage", failure.stage) || !takeString(*object, "reason", failure.reason)) {
    return std::nullopt;
  }
  return failure;
}

std::optional<PreparedRecord> readPrepared(const fs::path& file) {
  const auto text = readSmallFile(file, kRecordLimit);
  if (!text) return std::nullopt;
  const auto object = parseObject(*text);
  if (!object) return std::nullopt;
  PreparedRecord r;
  const json& o = *object;
  if (!takeSigned(o, "schema", r.schema) || !takeString(o, "version", r.version) || !takeString(o, "tag", r.tag) ||
      !takeString(o, "target", r.target) || !takeString(o, "staging", r.staging) ||
      !takeSigned(o, "stagingDevice", r.stagingDevice) || !takeUnsigned(o, "stagingInode", r.stagingInode) ||
      !takeString(o, "bundle", r.bundle) || !takeUnsigned(o, "candidateInode", r.candidateInode) ||
      !takeString(o, "inventory", r.inventory) || !takeString(o, "cdhash", r.cdhash)) {
    return std::nullopt;
  }
  return r;
}

std::optional<InstallRequest> readInstallRequest(const fs::path& folder) {
  const auto text = readSmallFile(folder / "native-install.json", kRecordLimit);
  if (!text) return std::nullopt;
  const auto object = parseObject(*text);
  if (!object) return std::nullopt;
  InstallRequest request;
  std::string archive, executable, prepared;
  int64_t pid = 0;
  if (!takeString(*object, "archive", archive) || !takeString(*object, "executable", executable) ||
      !takeString(*object, "version", request.version) || !takeSigned(*object, "pid", pid) ||
      pid < std::numeric_limits<int32_t>::min() || pid > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  request.archive = archive;
  request.executable = executable;
  request.pid = static_cast<pid_t>(pid);
  if (takeString(*object, "prepared", prepared)) request.prepared = fs::path(prepared);
  return request;
}

std::vector<LauncherEvent> readEvents(const fs::path& parent) {
  std::vector<LauncherEvent> events;
  for (const char* name : {"launcher-events.1.jsonl", "launcher-events.jsonl"}) {
    const auto text = readSmallFile(parent / name, kLogLimit);
    if (!text) continue;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
      // A line still being appended by another process has no line feed yet.
      if (lines.eof()) break;
      const auto object = parseObject(line);
      if (!object) continue;
      LauncherEvent event;
      event.rotated = std::string_view(name) == "launcher-events.1.jsonl";
      if (!takeSigned(*object, "schema", event.schema) || !takeString(*object, "id", event.id) ||
          !takeString(*object, "outcome", event.outcome) || !takeString(*object, "stage", event.stage) ||
          !takeString(*object, "at", event.at)) {
        continue;
      }
      std::string text;
      if (takeString(*object, "version", text)) event.version = text;
      if (takeString(*object, "kind", text)) event.kind = text;
      events.push_back(std::move(event));
    }
  }
  return events;
}

}  // namespace mirelo::client
