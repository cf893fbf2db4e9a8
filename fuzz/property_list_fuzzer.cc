// Feeds arbitrary bytes (XML and binary property lists) to the property-list layer and
// checks it against libplist read directly: a dictionary at the top level is readable and
// nothing else is, every string value of the dictionary is found under its key, and every key
// whose value is not a string reads as absent. A readable list is then written back as XML
// and as a binary list, and both read back to the same strings.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <type_traits>
#include <optional>
#include <string>
#include <string_view>

#include <plist/plist.h>

#include "fuzz/fuzz_support.h"
#include "platform/property_list.h"

namespace {

using mirelo::fuzz::require;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// Key to value (nothing for a value that is not a string) of a top-level dictionary.
std::map<std::string, std::optional<std::string>> entriesOf(plist_t dict) {
  std::map<std::string, std::optional<std::string>> entries;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    if (!key) break;
    std::optional<std::string> text;
    if (plist_get_node_type(value) == PLIST_STRING) {
      uint64_t length = 0;
      if (const char* s = plist_get_string_ptr(value, &length)) text = std::string(s, length);
    }
    entries[key] = text;
    std::free(key);
  }
  std::free(it);
  return entries;
}

// Property lists carry Unicode text; only such text can be written back unchanged.
bool isUtf8WithoutNul(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    // XML carries no C0 control character but tab, line feed and carriage return.
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || length == 0 || i + length > text.size()) return false;
    uint32_t scalar = length == 1 ? c : c & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 2) return false;
      scalar = (scalar << 6) | (next & 0x3F);
    }
    const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (scalar < lowest[length] || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

void requireSame(const mirelo::PropertyListDictionary& dict,
                 const std::map<std::string, std::optional<std::string>>& entries, const char* what) {
  for (const auto& [key, value] : entries) require(dict.string(key) == value, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<mirelo::PropertyListDictionary> dict = mirelo::PropertyListDictionary::parse(bytes);
  // libplist itself cannot be asked about these: it aborts on such a key.
  if (mirelo::PropertyListDictionary::binaryListHoldsANul(bytes)) {
    require(!dict, "a binary list with a NUL in a string is unreadable");
    return 0;
  }

  plist_t raw = nullptr;
  if (size > 0 && size <= mirelo::PropertyListDictionary::kMaxBytes) plist_from_memory(bytes.data(), static_cast<uint32_t>(size), &raw);
  const Plist root(raw);
  const bool isDictionary = root && plist_get_node_type(root.get()) == PLIST_DICT;
  require(dict.has_value() == isDictionary, "exactly a top-level dictionary is readable");
  if (!dict) return 0;

  const auto entries = entriesOf(root.get());
  requireSame(*dict, entries, "every key reads as its string value, or absent");

  for (const auto& [key, value] : entries) {
    if (!isUtf8WithoutNul(key) || (value && !isUtf8WithoutNul(*value))) return 0;
  }
  // Only flat dictionaries of Unicode text are written back: libplist writes other bytes as
  // they are and cannot read them back, a nested list or dictionary may hold text that XML
  // cannot carry (a control character), and its keys cannot be read without libplist's
  // assertion on keys with a NUL.
  {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root.get(), &it);
    bool flat = true;
    for (plist_t value = nullptr;;) {
      plist_dict_next_item(root.get(), it, nullptr, &value);
      if (!value) break;
      const plist_type type = plist_get_node_type(value);
      if (type == PLIST_ARRAY || type == PLIST_DICT) flat = false;
      // Every string counts, also one under a key that a later value of the same key hides.
      uint64_t length = 0;
      const char* text = type == PLIST_STRING ? plist_get_string_ptr(value, &length) : nullptr;
      if (text && !isUtf8WithoutNul(std::string_view(text, length))) flat = false;
    }
    std::free(it);
    if (!flat) return 0;
  }
  for (const bool binary : {false, true}) {
    char* out = nullptr;
    uint32_t length = 0;
    if (binary) {
      plist_to_bin(root.get(), &out, &length);
    } else {
      plist_to_xml(root.get(), &out, &length);
    }
    if (!out) continue;
    const std::string written(out, length);
    std::free(out);
    const auto again = mirelo::PropertyListDictionary::parse(written);
    require(again.has_value(), "a dictionary written back is readable");
    requireSame(*again, entries, "a dictionary written back reads the same");
  }
  return 0;
}
