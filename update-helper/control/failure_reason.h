#pragma once

#include <exception>
#include <string>

namespace mirelo {

// The short reason text of an error, as "failure.json" and the event log carry it:
// the message of InstallFailure::invalid, "Not enough disk space" for noSpace, and
// "native-error-<code>" for every other error. Total: never throws.
std::string failureReason(const std::exception_ptr& error) noexcept;
std::string failureReason(const std::exception& error) noexcept;

}  // namespace mirelo
