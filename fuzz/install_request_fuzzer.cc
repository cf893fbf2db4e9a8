// Feeds arbitrary bytes to the session's decoder of "native-install.json" and checks it
// against the request rules read a second way: it accepts exactly the objects with the
// three strings and a whole "pid" in the signed 32-bit range, fails only in the two
// documented ways, reports the version whenever the document names one, and a decoded
// request written back as JSON decodes to the same request.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/control/install_request.h"

namespace {

using Json = nlohmann::json;
using mirelo::fuzz::require;

bool isString(const Json& j, const char* key) { return j.contains(key) && j.at(key).is_string(); }

bool referencePid(const Json& j) {
  if (!j.contains("pid")) return false;
  const Json& pid = j.at("pid");
  constexpr double kLow = std::numeric_limits<int32_t>::min(), kHigh = std::numeric_limits<int32_t>::max();
  if (pid.is_number_unsigned()) return pid.get<uint64_t>() <= static_cast<uint64_t>(kHigh);
  if (pid.is_number_integer()) return pid.get<int64_t>() >= kLow && pid.get<int64_t>() <= kHigh;
  if (pid.is_number_float()) {
    const double d = pid.get<double>();
    return std::isfinite(d) && std::trunc(d) == d && d >= kLow && d <= kHigh;
  }
  return false;
}

bool sameRequest(const mirelo::InstallRequest& a, const mirelo::InstallRequest& b) {
  return a.archive == b.archive && a.executable == b.executable && a.version == b.version && a.pid == b.pid &&
         a.prepared == b.prepared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Json document = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);

  std::optional<std::string> version;
  std::optional<mirelo::InstallRequest> request;
  bool invalid = false, notJson = false;
  try {
    request = mirelo::decodeInstallRequest(bytes, &version);
  } catch (const mirelo::InstallFailure& failure) {
    require(failure.message() == "Invalid update request", "an unusable request is \"Invalid update request\"");
    invalid = true;
  } catch (const Json::exception&) {
    notJson = true;
  }
  // Anything else thrown escapes and fails the run.

  // A document is an object or an array: a lone value is not one either.
  const bool noDocument = document.is_discarded() || !(document.is_object() || document.is_array());
  require(notJson == noDocument, "exactly the bytes that are not a JSON document fail as such");
  if (notJson) return 0;
  const bool acceptable = document.is_object() && isString(document, "archive") &&
                          isString(document, "executable") && isString(document, "version") &&
                          referencePid(document);
  require(acceptable == !invalid, "a request is accepted exactly when its members are right");
  const bool namesVersion = document.is_object() && isString(document, "version");
  require(version.has_value() == namesVersion, "the version is reported whenever the document has one");
  if (namesVersion) require(*version == document.at("version").get<std::string>(), "the reported version is the document's");
  if (!request) return 0;

  require(request->archive == document.at("archive").get<std::string>() &&
              request->executable == document.at("executable").get<std::string>(),
          "paths are the document's");
  const bool hasPrepared = isString(document, "prepared");
  require(request->prepared.has_value() == hasPrepared, "\"prepared\" is used exactly when it is a string");

  Json again = {{"archive", request->archive}, {"executable", request->executable},
                {"version", request->version}, {"pid", request->pid}};
  if (request->prepared) again["prepared"] = *request->prepared;
  const mirelo::InstallRequest decoded = mirelo::decodeInstallRequest(again.dump());
  require(sameRequest(decoded, *request), "a decoded request re-encodes to the same request");
  return 0;
}
