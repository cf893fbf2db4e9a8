// Feeds arbitrary bytes to the work-directory record decoders ("request.json",
// "prepared.json", "claim.json", "adopted.json") and checks them against the record rules
// read a second way: a document decodes exactly when every key is present with the right
// JSON type and range, a decoded record re-encodes to exactly its keys and decodes back to
// the same value, and every prepared record also reads as the claim it contains.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "update-helper/store/records.h"

namespace {

using Json = nlohmann::json;
using mirelo::fuzz::require;

constexpr double kExactLimit = 9007199254740992.0;  // 2^53

bool isString(const Json& object, const char* key) { return object.contains(key) && object.at(key).is_string(); }

// Whole numbers in [low, high]: digits exactly, a fraction or exponent form only below 2^53.
bool isWhole(const Json& object, const char* key, long double low, long double high) {
  if (!object.contains(key)) return false;
  const Json& value = object.at(key);
  long double v = 0;
  if (value.is_number_unsigned()) {
    v = static_cast<long double>(value.get<uint64_t>());
  } else if (value.is_number_integer()) {
    v = static_cast<long double>(value.get<int64_t>());
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= kExactLimit) return false;
    v = d;
  } else {
    return false;
  }
  return v >= low && v <= high;
}

constexpr long double kInt64Low = static_cast<long double>(std::numeric_limits<int64_t>::min());
constexpr long double kInt64High = static_cast<long double>(std::numeric_limits<int64_t>::max());
constexpr long double kUint64High = static_cast<long double>(std::numeric_limits<uint64_t>::max());

bool referenceRequest(const Json& j) {
  return j.is_object() && isString(j, "archive") && isString(j, "executable") && isString(j, "version") &&
         isString(j, "tag");
}
bool referenceClaim(const Json& j) {
  return j.is_object() && isString(j, "staging") && isWhole(j, "stagingDevice", kInt64Low, kInt64High) &&
         isWhole(j, "stagingInode", 0, kUint64High);
}
bool referenceCandidate(const Json& j) {
  return referenceClaim(j) && isWhole(j, "schema", kInt64Low, kInt64High) && isString(j, "version") &&
         isString(j, "tag") && isString(j, "target") && isString(j, "bundle") &&
         isWhole(j, "candidateInode", 0, kUint64High) && isString(j, "inventory") && isString(j, "cdhash");
}

std::set<std::string> keysOf(const Json& j) {
  std::set<std::string> keys;
  for (const auto& item : j.items()) keys.insert(item.key());
  return keys;
}

// The value encodes to an object with exactly `keys`, survives the text form, and decodes
// back to itself.
template <class Record>
void requireRoundTrip(const Record& record, const std::set<std::string>& keys) {
  const Json encoded = mirelo::encodeRecord(record);
  require(encoded.is_object() && keysOf(encoded) == keys, "an encoded record has exactly its keys");
  const std::optional<Record> again = mirelo::decodeRecord<Record>(Json::parse(encoded.dump()));
  require(again.has_value() && *again == record, "a decoded record re-encodes to an equal record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Json document = Json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return 0;

  const auto request = mirelo::decodeRecord<mirelo::PrepareRequest>(document);
  const auto claim = mirelo::decodeRecord<mirelo::StagingClaim>(document);
  const auto candidate = mirelo::decodeRecord<mirelo::PreparedCandidate>(document);
  require(request.has_value() == referenceRequest(document), "request.json decodes exactly by the key rules");
  require(claim.has_value() == referenceClaim(document), "claim.json decodes exactly by the key rules");
  require(candidate.has_value() == referenceCandidate(document), "prepared.json decodes exactly by the key rules");

  if (request) {
    require(request->archive == document.at("archive").get<std::string>() &&
                request->executable == document.at("executable").get<std::string>() &&
                request->version == document.at("version").get<std::string>() &&
                request->tag == document.at("tag").get<std::string>(),
            "request values are the document's");
    requireRoundTrip(*request, {"archive", "executable", "version", "tag"});
  }
  if (claim) {
    require(claim->staging == document.at("staging").get<std::string>(), "the claimed path is the document's");
    requireRoundTrip(*claim, {"staging", "stagingDevice", "stagingInode"});
  }
  if (candidate) {
    require(claim.has_value(), "every prepared record reads as a claim");
    require(candidate->staging == claim->staging && candidate->stagingDevice == claim->stagingDevice &&
                candidate->stagingInode == claim->stagingInode,
            "a prepared record and its claim name the same folder");
    requireRoundTrip(*candidate, {"schema", "version", "tag", "target", "staging", "stagingDevice", "stagingInode",
                                  "bundle", "candidateInode", "inventory", "cdhash"});
  }
  return 0;
}
