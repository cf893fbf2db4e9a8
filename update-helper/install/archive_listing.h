#pragma once

// Parsing of the text that the Info-ZIP listing tools print: the name listing of
// `zipinfo -1` and the long listing of `zipinfo -l`. Pure functions over text, so that tests
// and fuzzers can drive them without an archive.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo::archive_listing {

// A long-listing entry line has ten fields: permissions, version, host system, uncompressed
// size, text or binary flag, compressed size, method, date, time and entry name.
constexpr size_t kEntryFields = 10;
constexpr size_t kSizeField = 3;  // zero-based index of the uncompressed size
constexpr size_t kNameField = 9;  // zero-based index of the entry name

// Longest link target accepted, in bytes.
constexpr int64_t kMaxLinkTarget = 4095;

// Cuts `output` at every line feed and drops the empty pieces; nothing else is trimmed.
std::vector<std::string_view> splitLines(std::string_view output);

// Cuts one long-listing line into at most ten fields. Fields are separated by runs of spaces
// and tabs, and separators at the start produce no field. The tenth field is everything after
// the one separator character that ended the ninth, verbatim; when nothing follows it, the
// line has nine fields.
std::vector<std::string_view> cutFields(std::string_view line);

// Decimal integers as the size column holds them: ASCII digits with an optional leading sign
// and nothing else, within the type's range.
std::optional<uint64_t> parseUnsigned(std::string_view text);
std::optional<int64_t> parseSigned(std::string_view text);

// The first non-empty "/"-separated piece of an entry name, or empty when there is none.
std::string_view topLevelName(std::string_view name);

// A link line of the long listing.
struct ListedLink {
  // Field 10, verbatim; empty when the line has fewer than ten fields.
  std::string_view name;
  // Ten fields and a size column between 1 and kMaxLinkTarget.
  bool wellFormed = false;
};

// What the long listing says: the sum of the sizes of the regular-file lines that have ten
// fields and a parsable size (modulo 2^64; other regular-file lines count for nothing), and
// the link lines in listing order. Every other line (header, totals, folders, entries of
// other kinds) is skipped. The views point into `output`.
struct LongListing {
  uint64_t bytes = 0;
  std::vector<ListedLink> links;
};
LongListing parseLongListing(std::string_view output);

}  // namespace mirelo::archive_listing
