#include "update-helper/control/failure_reason.h"

#include <nlohmann/json.hpp>
#include <system_error>

#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

// The platform code for a document that is not valid JSON; other errors of the JSON
// library have no code of their own and share it.
constexpr int kMalformedDocumentCode = 3840;
// An error that carries no numeric code at all.
constexpr int kUnknownErrorCode = -1;

std::string nativeError(int code) { return "native-error-" + std::to_string(code); }

}  // namespace

std::string failureReason(const std::exception& error) noexcept {
  try {
    if (const auto* failure = dynamic_cast<const InstallFailure*>(&error)) {
      return failure->message();
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
      return nativeError(system->code().value());
    }
    if (dynamic_cast<const nlohmann::json::exception*>(&error) != nullptr) {
      return nativeError(kMalformedDocumentCode);
    }
    return nativeError(kUnknownErrorCode);
  } catch (...) {
    return "native-error--1";
  }
}

std::string failureReason(const std::exception_ptr& error) noexcept {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return failureReason(e);
  } catch (...) {
  }
  return nativeError(kUnknownErrorCode);
}

}  // namespace mirelo
