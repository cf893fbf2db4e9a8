#include "update-helper/control/install_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/errno_error.h"
#include "platform/path_text.h"
#include "platform/unique_fd.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

using Json = nlohmann::json;

constexpr size_t kWholeFileLimit = 16u << 20;

[[noreturn]] void invalid() { throw InstallFailure::invalid("Invalid update request"); }

std::string stringMember(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) invalid();
  return it->get<std::string>();
}

// A JSON number that is exactly a signed 32-bit integer: an integer literal in range, or a
// whole value written as a fraction or with an exponent (5.0, 5e0). Booleans are not numbers.
int32_t int32Member(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) invalid();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (it->is_number_unsigned()) {
    const uint64_t value = it->get<uint64_t>();
    if (value > static_cast<uint64_t>(kMax)) invalid();
    return static_cast<int32_t>(value);
  }
  if (it->is_number_integer()) {
    const int64_t value = it->get<int64_t>();
    if (value < kMin || value > kMax) invalid();
    return static_cast<int32_t>(value);
  }
  if (it->is_number_float()) {
    const double value = it->get<double>();
    if (!std::isfinite(value) || std::trunc(value) != value || value < static_cast<double>(kMin) ||
        value > static_cast<double>(kMax)) {
      invalid();
    }
    return static_cast<int32_t>(value);
  }
  invalid();
}

}  // namespace

std::filesystem::path InstallRequest::target() const {
  using path_text::withoutLastComponent;
  return withoutLastComponent(withoutLastComponent(withoutLastComponent(executable)));
}

InstallRequest decodeInstallRequest(std::string_view bytes, std::optional<std::string>* version) {
  const Json document = Json::parse(bytes.begin(), bytes.end());
  // A document is an object or an array; a lone number, string or literal is not one, so it
  // fails like any other text that is not a document, not as an invalid request.
  if (!document.is_object() && !document.is_array()) {
    throw Json::parse_error::create(101, bytes.size(), "the top level is neither an object nor an array", nullptr);
  }
  if (!document.is_object()) invalid();
  if (version != nullptr) {
    const auto it = document.find("version");
    if (it != document.end() && it->is_string()) *version = it->get<std::string>();
  }
  InstallRequest request;
  request.archive = stringMember(document, "archive");
  request.executable = stringMember(document, "executable");
  request.version = stringMember(document, "version");
  request.pid = int32Member(document, "pid");
  const auto prepared = document.find("prepared");
  if (prepared != document.end() && prepared->is_string()) request.prepared = prepared->get<std::string>();
  return request;
}

std::string readWholeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throwErrno("open");
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A named pipe opened without a writer, or one that has nothing yet: treat as empty.
      if (errno == EAGAIN) break;
      throwErrno("read");
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > kWholeFileLimit) throwErrno(EFBIG, "read");
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

}  // namespace mirelo
