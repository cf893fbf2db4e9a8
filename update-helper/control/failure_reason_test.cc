#include "update-helper/control/failure_reason.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/errno_error.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

std::exception_ptr parseError() {
  try {
    auto parsed = nlohmann::json::parse("{not json");
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(FailureReason, EveryKindOfError) {
  const struct {
    const char* name;
    std::exception_ptr error;
    const char* reason;
  } cases[] = {
      {"invalid", std::make_exception_ptr(InstallFailure::invalid("Update signature mismatch")),
       "Update signature mismatch"},
      {"noSpace", std::make_exception_ptr(InstallFailure::noSpace()), "Not enough disk space"},
      {"errno", std::make_exception_ptr(errnoError(ENOENT, "open")), "native-error-2"},
      {"errno EACCES", std::make_exception_ptr(errnoError(EACCES, "open")), "native-error-13"},
      {"negative code", std::make_exception_ptr(std::system_error(-7, std::generic_category())),
       "native-error--7"},
      {"malformed JSON", parseError(), "native-error-3840"},
      {"no code at all", std::make_exception_ptr(std::runtime_error("x")), "native-error--1"},
      {"not an exception", std::make_exception_ptr(42), "native-error--1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failureReason(c.error), c.reason);
  }
}

}  // namespace
}  // namespace mirelo
