#pragma once

#include <cerrno>
#include <system_error>

namespace mirelo {

// Errors of the operating system travel as std::system_error in the generic category, so
// that their errno survives unchanged to the edge that turns errors into text. This is the
// one place where an errno value becomes an error value.
inline std::system_error errnoError(int error, const char* operation) {
  return std::system_error(error, std::generic_category(), operation);
}

[[noreturn]] inline void throwErrno(int error, const char* operation) {
  throw errnoError(error, operation);
}

// Throws the current errno; call it right after the failed system call.
[[noreturn]] inline void throwErrno(const char* operation) { throwErrno(errno, operation); }

}  // namespace mirelo
