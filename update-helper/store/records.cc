#include "update-helper/store/records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <system_error>

#include "platform/fs.h"
#include "update-helper/install/install_messages.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

using Json = nlohmann::json;

// From 2^53 on, a number written with a fraction or an exponent may already have been
// rounded by the parser to a neighbouring whole value, so it cannot be trusted to be the
// value that was written. Integers written as plain digits are exact in the full range.
constexpr double kExactDoubleLimit = 9007199254740992.0;

// The value of `key` when it is present and of the right type; nothing otherwise.
std::optional<std::string> stringAt(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<double> exactWholeDouble(const Json& value) {
  const double d = value.get<double>();
  if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= kExactDoubleLimit) return std::nullopt;
  return d;
}

std::optional<int64_t> int64At(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    const uint64_t value = it->get<uint64_t>();
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(value);
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_float()) {
    const auto d = exactWholeDouble(*it);
    if (!d) return std::nullopt;
    return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<uint64_t> uint64At(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) {
    const int64_t value = it->get<int64_t>();
    if (value < 0) return std::nullopt;
    return static_cast<uint64_t>(value);
  }
  if (it->is_number_float()) {
    const auto d = exactWholeDouble(*it);
    if (!d || *d < 0) return std::nullopt;
    return static_cast<uint64_t>(*d);
  }
  return std::nullopt;
}

}  // namespace

Json encodeRecord(const PrepareRequest& record) {
  Json json = Json::object();
  json["archive"] = record.archive;
  json["executable"] = record.executable;
  json["version"] = record.version;
  json["tag"] = record.tag;
  return json;
}

Json encodeRecord(const PreparedCandidate& record) {
  Json json = Json::object();
  json["schema"] = record.schema;
  json["version"] = record.version;
  json["tag"] = record.tag;
  json["target"] = record.target;
  json["staging"] = record.staging;
  json["stagingDevice"] = record.stagingDevice;
  json["stagingInode"] = record.stagingInode;
  json["bundle"] = record.bundle;
  json["candidateInode"] = record.candidateInode;
  json["inventory"] = record.inventory;
  json["cdhash"] = record.cdhash;
  return json;
}

Json encodeRecord(const StagingClaim& record) {
  Json json = Json::object();
  json["staging"] = record.staging;
  json["stagingDevice"] = record.stagingDevice;
  json["stagingInode"] = record.stagingInode;
  return json;
}

template <>
std::optional<PrepareRequest> decodeRecord<PrepareRequest>(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  auto archive = stringAt(json, "archive");
  auto executable = stringAt(json, "executable");
  auto version = stringAt(json, "version");
  auto tag = stringAt(json, "tag");
  if (!archive || !executable || !version || !tag) return std::nullopt;
  return PrepareRequest{std::move(*archive), std::move(*executable), std::move(*version), std::move(*tag)};
}

template <>
std::optional<PreparedCandidate> decodeRecord<PreparedCandidate>(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  auto schema = int64At(json, "schema");
  auto version = stringAt(json, "version");
  auto tag = stringAt(json, "tag");
  auto target = stringAt(json, "target");
  auto staging = stringAt(json, "staging");
  auto stagingDevice = int64At(json, "stagingDevice");
  auto stagingInode = uint64At(json, "stagingInode");
  auto bundle = stringAt(json, "bundle");
  auto candidateInode = uint64At(json, "candidateInode");
  auto inventory = stringAt(json, "inventory");
  auto cdhash = stringAt(json, "cdhash");
  if (!schema || !version || !tag || !target || !staging || !stagingDevice || !stagingInode || !bundle ||
      !candidateInode || !inventory || !cdhash) {
    return std::nullopt;
  }
  PreparedCandidate record;
  record.schema = *schema;
  record.version = std::move(*version);
  record.tag = std::move(*tag);
  record.target = std::move(*target);
  record.staging = std::move(*staging);
  record.stagingDevice = *stagingDevice;
  record.stagingInode = *stagingInode;
  record.bundle = std::move(*bundle);
  record.candidateInode = *candidateInode;
  record.inventory = std::move(*inventory);
  record.cdhash = std::move(*cdhash);
  return record;
}

template <>
std::optional<StagingClaim> decodeRecord<StagingClaim>(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  auto staging = stringAt(json, "staging");
  auto stagingDevice = int64At(json, "stagingDevice");
  auto stagingInode = uint64At(json, "stagingInode");
  if (!staging || !stagingDevice || !stagingInode) return std::nullopt;
  return StagingClaim{std::move(*staging), *stagingDevice, *stagingInode};
}

template <class Record>
std::optional<Record> readRecord(const std::filesystem::path& path) noexcept {
  try {
    // Every failure to read (missing, a link, not a regular file, too large) means no record.
    const std::string content = fs::readSmallFile(path.string(), kRecordSizeLimit);
    const Json json = Json::parse(content, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return std::nullopt;
    return decodeRecord<Record>(json);
  } catch (...) {
    return std::nullopt;
  }
}

template <class Record>
void writeRecord(const Record& record, const std::filesystem::path& destination) {
  // Compact, no trailing newline; text that is not UTF-8 makes the library throw here,
  // before anything is written.
  const std::string bytes = encodeRecord(record).dump(-1, ' ', false, Json::error_handler_t::strict);
  fs::AtomicWriteOptions options;
  options.temporaryPrefix = ".pending-";
  options.mode = 0600;
  options.exactMode = true;
  try {
    fs::writeFileAtomically(destination.string(), bytes, options);
  } catch (const fs::AtomicWriteError& error) {
    switch (error.step()) {
      case fs::AtomicWriteError::Step::kWrite:
      case fs::AtomicWriteError::Step::kRename:
        throw InstallFailure::invalid("Cannot record prepared update");
      case fs::AtomicWriteError::Step::kOpenFolder:
        throw InstallFailure::invalid(install::kCannotOpenFileMessage);
      case fs::AtomicWriteError::Step::kFlushFile:
      case fs::AtomicWriteError::Step::kFlushFolder:
        throw InstallFailure::invalid(install::kCannotFlushFileMessage);
    }
    throw;
  }
}

template std::optional<PrepareRequest> readRecord<PrepareRequest>(const std::filesystem::path&) noexcept;
template std::optional<PreparedCandidate> readRecord<PreparedCandidate>(const std::filesystem::path&) noexcept;
template std::optional<StagingClaim> readRecord<StagingClaim>(const std::filesystem::path&) noexcept;
template void writeRecord<PrepareRequest>(const PrepareRequest&, const std::filesystem::path&);
template void writeRecord<PreparedCandidate>(const PreparedCandidate&, const std::filesystem::path&);
template void writeRecord<StagingClaim>(const StagingClaim&, const std::filesystem::path&);

}  // namespace mirelo
