#pragma once

// Runs a callable and describes how it ended, so tests can compare outcomes as plain text:
// the message of an InstallFailure ("noSpace" and "cancelled" for those kinds, whose
// messages are fixed), "errno N" for an operating-system error, "ok" when
// nothing was thrown.

#include <string>
#include <system_error>

#include "update-helper/common/install_failure.h"

namespace mirelo::testing {

template <class Operation>
std::string outcomeOf(Operation&& operation) {
  try {
    operation();
    return "ok";
  } catch (const InstallFailure& failure) {
    if (failure.isNoSpace()) return "noSpace";
    if (failure.isCancelled()) return "cancelled";
    return failure.message();
  } catch (const std::system_error& error) {
    return "errno " + std::to_string(error.code().value());
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
}

inline std::string errnoOutcome(int error) { return "errno " + std::to_string(error); }

}  // namespace mirelo::testing
