#pragma once

// The records of a work directory, their JSON form, and the one way each is read and
// written: a record is read only from a regular file of at most 16,384 bytes, decoded
// strictly, and written by a crash-safe replacement (".pending-<UUID>", flush, rename, flush
// of the folder).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "update-helper/install/prepared_candidate.h"

namespace mirelo {

// "request.json", written by the desktop application. Decoding checks presence and types
// only; PreparedStore::readRequest() applies the value rules.
struct PrepareRequest {
  std::string archive;
  std::string executable;
  std::string version;
  std::string tag;

  friend bool operator==(const PrepareRequest&, const PrepareRequest&) = default;
};

// "claim.json": the staging folder of a preparation that has not been recorded as prepared.
// Its keys are a subset of PreparedCandidate's, so every prepared record also reads as one.
// Known to callers as PreparedStore::Claim.
struct StagingClaim {
  std::string staging;
  int64_t stagingDevice = 0;
  uint64_t stagingInode = 0;

  friend bool operator==(const StagingClaim&, const StagingClaim&) = default;
};

// JSON form: one object with exactly the record's keys. Decoding needs every key, with a
// value of the right type: strings as strings, numbers as whole values in the field's range
// (64-bit values exact; a fraction or exponent form only below 2^53, where it is still
// exact). Unknown keys are ignored. Anything else yields nothing.
nlohmann::json encodeRecord(const PrepareRequest& record);
nlohmann::json encodeRecord(const PreparedCandidate& record);
nlohmann::json encodeRecord(const StagingClaim& record);
template <class Record>
std::optional<Record> decodeRecord(const nlohmann::json& json);
template <>
std::optional<PrepareRequest> decodeRecord<PrepareRequest>(const nlohmann::json& json);
template <>
std::optional<PreparedCandidate> decodeRecord<PreparedCandidate>(const nlohmann::json& json);
template <>
std::optional<StagingClaim> decodeRecord<StagingClaim>(const nlohmann::json& json);

// The largest record file that is read.
constexpr int64_t kRecordSizeLimit = 16384;

// Reads a record: nothing when the path is missing, a link or anything but a regular file,
// larger than kRecordSizeLimit, unreadable, not JSON or not a complete record. Never
// throws and never changes the disk.
template <class Record>
std::optional<Record> readRecord(const std::filesystem::path& path) noexcept;

// Replaces `destination` (a file directly inside its work directory) with the record,
// crash-safely: the compact JSON goes to ".pending-<UUID>" (mode 0600) beside it, which is
// flushed, renamed over `destination`, and the folder is flushed. Throws "Cannot record
// prepared update" when the temporary file cannot be created or renamed (it is removed; the
// old destination is untouched), the flush errors of AtomicInstall::syncFile (for the
// temporary file, which is then removed; for the folder, when the new record is already in
// place), or the JSON library's error for text that is not UTF-8 (nothing written).
template <class Record>
void writeRecord(const Record& record, const std::filesystem::path& destination);

extern template std::optional<PrepareRequest> readRecord<PrepareRequest>(const std::filesystem::path&) noexcept;
extern template std::optional<PreparedCandidate> readRecord<PreparedCandidate>(const std::filesystem::path&) noexcept;
extern template std::optional<StagingClaim> readRecord<StagingClaim>(const std::filesystem::path&) noexcept;
extern template void writeRecord<PrepareRequest>(const PrepareRequest&, const std::filesystem::path&);
extern template void writeRecord<PreparedCandidate>(const PreparedCandidate&, const std::filesystem::path&);
extern template void writeRecord<StagingClaim>(const StagingClaim&, const std::filesystem::path&);

}  // namespace mirelo
