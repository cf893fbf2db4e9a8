#include "platform/pattern.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace mirelo {
namespace {

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace

struct Pattern::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

Pattern::Pattern(std::string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError where{};
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), pattern.size()));
  compiled_ = std::make_unique<Compiled>();
  compiled_->pattern.reset(icu::RegexPattern::compile(source, 0, where, status));
  if (U_FAILURE(status) || !compiled_->pattern) {
    throw std::invalid_argument("invalid pattern: " + std::string(pattern));
  }
}

Pattern::~Pattern() = default;

bool Pattern::matchesWhole(std::string_view text) const {
  if (text.size() > static_cast<size_t>(INT32_MAX) || !isValidUtf8(text)) return false;
  const icu::UnicodeString input = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(input, status));
  if (U_FAILURE(status)) return false;
  const bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

}  // namespace mirelo
