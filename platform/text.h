#pragma once

// Unicode text rules of the helper, done by ICU: canonical composition (NFC), the default
// full lower-case mapping of the root locale, and user-perceived characters.

#include <string>
#include <string_view>
#include <vector>

namespace mirelo::text {

// Canonical composition. Two strings are canonically equivalent exactly when their NFC
// forms are byte-equal. Bytes that are not valid UTF-8 are replaced by U+FFFD.
std::string toNFC(std::string_view utf8);

// Whether two texts are equal under canonical equivalence (equal bytes, or equal NFC forms).
bool canonicallyEqual(std::string_view a, std::string_view b);

// The Unicode default full lower-case mapping, independent of locale ("İ" becomes "i̇").
std::string toLower(std::string_view utf8);

// The key under which a name is compared: lower-cased, then composed, so that names that
// differ only in case or in normalisation share one key. ASCII text costs one copy.
std::string foldedKey(std::string_view utf8);

// The grapheme clusters (user-perceived characters) of a text, in order.
std::vector<std::string> graphemeClusters(std::string_view utf8);

}  // namespace mirelo::text
