#pragma once

#include <exception>
#include <string>

namespace mirelo {

// The update helper's own rejections. `invalid` carries one fixed English sentence (the
// messages are part of what the desktop application reads back); `noSpace` says that the
// volume lacks room; `cancelled` says that the work stopped because it was cancelled
// (SIGTERM or a deadline), so callers decide on the kind, never on the text. Errors of the operating system are not InstallFailures: they travel
// as std::system_error with their errno (platform/errno_error.h).
class InstallFailure : public std::exception {
 public:
  enum class Kind { kInvalid, kNoSpace, kCancelled };

  static InstallFailure invalid(std::string message) { return InstallFailure(Kind::kInvalid, std::move(message)); }
  static InstallFailure noSpace() { return InstallFailure(Kind::kNoSpace, "Not enough disk space"); }
  static InstallFailure cancelled() { return InstallFailure(Kind::kCancelled, "Update preparation was cancelled"); }

  Kind kind() const noexcept { return kind_; }
  bool isNoSpace() const noexcept { return kind_ == Kind::kNoSpace; }
  bool isCancelled() const noexcept { return kind_ == Kind::kCancelled; }
  // The fixed message of an `invalid` failure; "Not enough disk space" for `noSpace`;
  // "Update preparation was cancelled" for `cancelled`.
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
