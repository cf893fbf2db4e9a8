#pragma once

#include <stdexcept>
#include <string>

namespace mirelo::client {

// What the client itself refuses or cannot do. Outcomes that the helper reports (a failed
// preparation, a busy directory, a cancellation) are results, not errors; errors of the
// operating system travel as std::system_error with their errno.
class ClientError : public std::runtime_error {
 public:
  enum class Kind {
    kUsage,           // the caller asked for something the contract does not allow
    kWrongVolume,     // a folder is not on the volume it must share with another
    kHelperFailed,    // the helper could not be started, died, or answered out of its range
    kNotAWorkFolder,  // a path is missing, a link, or not a folder of ours
  };

  ClientError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

}  // namespace mirelo::client
