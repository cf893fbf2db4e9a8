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
//
// Beyond that, every entry line (ten fields, a version number "D.D" as the second, after
// the "Archive:" line) is counted and judged, so that no entry escapes the checks by the
// shape of its line:
// - `entries`: the number of entry lines, to be compared with the name listing;
// - `declared`: the sum of the sizes of all entry lines, whatever their kind, without
//   wrapping (`declaredOverflows` when it passes 2^64 - 1 or a size is not a number);
// - `refused`: the first entry whose kind the listing cannot tell for certain (anything
//   but a plain file, a folder or a link of a Unix host, or a plain file or folder of a
//   FAT host), that is encrypted (unzip would ask for a password), or that would be
//   created writable by group or others, with a set-id or sticky bit, or as a folder
//   without full access for its owner.
struct LongListing {
  uint64_t bytes = 0;
  std::vector<ListedLink> links;
  size_t entries = 0;
  uint64_t declared = 0;
  bool declaredOverflows = false;
  std::optional<std::string_view> refused;
};

// Whether the permission, host and flag columns of an entry line describe an entry that
// may be extracted (see `refused` above).
bool isAcceptedEntry(std::string_view permissions, std::string_view host, std::string_view flags);
LongListing parseLongListing(std::string_view output);

}  // namespace mirelo::archive_listing
