#include "platform/text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>
#include <stdexcept>

namespace mirelo::text {
namespace {

icu::UnicodeString fromUtf8(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string result;
  text.toUTF8String(result);
  return result;
}

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || normalizer == nullptr) throw std::runtime_error("ICU NFC data unavailable");
  return *normalizer;
}

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string toNFC(std::string_view utf8) {
  // ASCII is always in NFC; skipping ICU here keeps long listings cheap.
  if (isAscii(utf8)) return std::string(utf8);
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString composed = nfc().normalize(fromUtf8(utf8), status);
  if (U_FAILURE(status)) throw std::runtime_error("ICU normalisation failed");
  return toUtf8(composed);
}

bool canonicallyEqual(std::string_view a, std::string_view b) { return a == b || toNFC(a) == toNFC(b); }

std::string toLower(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string lower(utf8);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
  }
  icu::UnicodeString text = fromUtf8(utf8);
  text.toLower(icu::Locale::getRoot());
  return toUtf8(text);
}

std::string foldedKey(std::string_view utf8) {
  // For ASCII, lower-casing is the only change and the result is already composed.
  if (isAscii(utf8)) return toLower(utf8);
  return toNFC(toLower(utf8));
}

std::vector<std::string> graphemeClusters(std::string_view utf8) {
  icu::UnicodeString text = fromUtf8(utf8);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) throw std::runtime_error("ICU break iterator unavailable");
  breaks->setText(text);
  std::vector<std::string> clusters;
  int32_t start = breaks->first();
  for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE; start = end, end = breaks->next()) {
    clusters.push_back(toUtf8(text.tempSubStringBetween(start, end)));
  }
  return clusters;
}

}  // namespace mirelo::text
