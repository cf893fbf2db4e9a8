// Feeds arbitrary text to the listing parser as if `zipinfo` had printed it, and checks the
// parser against independent readings of the same rules: lines, fields, sizes and the total.

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update-helper/install/archive_listing.h"

namespace listing = mirelo::archive_listing;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool isSeparator(char c) { return c == ' ' || c == '\t'; }

// Fields by a different route: find every maximal run of non-separators with its position,
// keep the first nine, and take the tenth from the position after the ninth run's end.
std::vector<std::string_view> referenceFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (fields.size() < listing::kEntryFields - 1) {
    size_t start = i;
    while (start < line.size() && isSeparator(line[start])) ++start;
    if (start >= line.size()) return fields;
    size_t end = start;
    while (end < line.size() && !isSeparator(line[end])) ++end;
    fields.push_back(line.substr(start, end - start));
    i = end;
  }
  if (i + 1 < line.size()) fields.push_back(line.substr(i + 1));
  return fields;
}

std::optional<uint64_t> referenceUnsigned(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative && value != 0) return std::nullopt;
  return value;
}

std::optional<int64_t> referenceSigned(std::string_view text) {
  std::string copy(text);
  if (copy.starts_with('+')) copy.erase(0, 1);
  if (copy.empty() || copy[0] == '+' || (copy[0] == '-' && text[0] == '+')) return std::nullopt;
  int64_t value = 0;
  auto [end, error] = std::from_chars(copy.data(), copy.data() + copy.size(), value);
  if (error != std::errc() || end != copy.data() + copy.size()) return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view output(reinterpret_cast<const char*>(data), size);

  std::vector<std::string_view> lines = listing::splitLines(output);
  std::string rejoined;
  for (std::string_view line : lines) {
    require(!line.empty() && line.find('\n') == std::string_view::npos);
    rejoined += line;
  }
  std::string withoutFeeds;
  for (char c : output) {
    if (c != '\n') withoutFeeds += c;
  }
  require(rejoined == withoutFeeds);

  uint64_t bytes = 0;
  std::vector<listing::ListedLink> links;
  for (std::string_view line : lines) {
    std::vector<std::string_view> fields = listing::cutFields(line);
    require(fields == referenceFields(line));
    require(fields.size() <= listing::kEntryFields);
    for (size_t i = 0; i < fields.size() && i < listing::kNameField; ++i) {
      require(!fields[i].empty() && fields[i].find_first_of(" \t") == std::string_view::npos);
    }
    for (std::string_view field : fields) {
      require(listing::parseUnsigned(field) == referenceUnsigned(field));
      require(listing::parseSigned(field) == referenceSigned(field));
    }
    std::string_view top = listing::topLevelName(line);
    require(top.find('/') == std::string_view::npos);
    require(top.empty() == (line.find_first_not_of('/') == std::string_view::npos));

    const bool complete = fields.size() == listing::kEntryFields;
    if (line[0] == '-' && complete) {
      if (std::optional<uint64_t> value = referenceUnsigned(fields[listing::kSizeField])) bytes += *value;
    } else if (line[0] == 'l') {
      listing::ListedLink link;
      if (complete) {
        link.name = fields[listing::kNameField];
        std::optional<int64_t> value = referenceSigned(fields[listing::kSizeField]);
        link.wellFormed = value && *value >= 1 && *value <= listing::kMaxLinkTarget;
      }
      links.push_back(link);
    }
  }

  listing::LongListing parsed = listing::parseLongListing(output);
  require(parsed.bytes == bytes);
  require(parsed.links.size() == links.size());
  for (size_t i = 0; i < links.size(); ++i) {
    require(parsed.links[i].name == links[i].name);
    require(parsed.links[i].wellFormed == links[i].wellFormed);
  }
  return 0;
}
