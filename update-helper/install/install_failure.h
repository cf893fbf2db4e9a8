#pragma once

#include <exception>
#include <string>

namespace mirelo {

// The update helper's own rejections. `invalid` carries one fixed English sentence (the
// messages are part of what the desktop application reads back); `noSpace` says that the
// volume lacks room. Errors of the operating system are not InstallFailures: they travel
// as std::system_error with their errno (platform/errno_error.h).
class InstallFailure : public std::exception {
 public:
  enum class Kind { kInvalid, kNoSpace };

  static InstallFailure invalid(std::string message) { return InstallFailure(Kind::kInvalid, std::move(message)); }
  static InstallFailure noSpace() { return InstallFailure(Kind::kNoSpace, "Not enough disk space"); }

  Kind kind() const noexcept { return kind_; }
  bool isNoSpace() const noexcept { return kind_ == Kind::kNoSpace; }
  // The fixed message of an `invalid` failure; "Not enough disk space" for `noSpace`.
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  friend bool operator==(const InstallFailure& a, const InstallFailure& b) {
    return a.kind_ == b.kind_ && a.message_ == b.message_;
  }

 private:
  InstallFailure(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

}  // namespace mirelo
