#pragma once

// Reading property lists (XML or binary) through libplist. Only a dictionary at the top level
// counts as readable, and only string values are kept: a key whose value is anything else
// reads as absent.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace mirelo {

class PropertyListDictionary {
 public:
  // Largest property list file that is read; a bigger one counts as unreadable.
  static constexpr size_t kMaxBytes = 8u << 20;

  // Parses the bytes of a property list file; nothing when they are not a property list,
  // the top level is not a dictionary, or a binary list holds a string with a NUL character
  // (see binaryListHoldsANul).
  static std::optional<PropertyListDictionary> parse(std::string_view bytes);
  // Whether the bytes are a binary list with a string object that holds a NUL character.
  // libplist ends the process on an assertion when it hands out such a dictionary key, so
  // such lists are refused before libplist reads them.
  static bool binaryListHoldsANul(std::string_view bytes);
  // Reads a file; nothing when it is missing, unreadable, a symbolic link, too big or not a
  // dictionary.
  static std::optional<PropertyListDictionary> read(const std::filesystem::path& file);
  // Reads "Contents/Info.plist" of a bundle folder without following a link anywhere from
  // the bundle folder down (the bundle folder itself included).
  static std::optional<PropertyListDictionary> readBundleInfo(const std::filesystem::path& bundle);

  // The value of `key` when it is a string.
  std::optional<std::string> string(const std::string& key) const;

 private:
  std::map<std::string, std::string, std::less<>> strings_;
};

}  // namespace mirelo
