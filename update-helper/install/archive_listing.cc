#include "update-helper/install/archive_listing.h"

#include <limits>

namespace mirelo::archive_listing {
namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t'; }

// The magnitude and sign of a decimal text; nothing when it is not one or does not fit in
// 64 bits.
struct Decimal {
  bool negative = false;
  uint64_t magnitude = 0;
};

std::optional<Decimal> parseDecimal(std::string_view text) {
  Decimal result;
  size_t i = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    result.negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result.magnitude > (kMax - digit) / 10) return std::nullopt;
    result.magnitude = result.magnitude * 10 + digit;
  }
  return result;
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view output) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    if (end > start) lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string_view> cutFields(std::string_view line) {
  std::vector<std::string_view> fields;
  fields.reserve(kEntryFields);
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    while (i < n && isSeparator(line[i])) ++i;
    if (i == n) break;
    size_t start = i;
    while (i < n && !isSeparator(line[i])) ++i;
    fields.push_back(line.substr(start, i - start));
    if (fields.size() == kEntryFields - 1) {
      // Skip exactly the one separator that ended the ninth field; the rest is the name.
      if (i + 1 < n) fields.push_back(line.substr(i + 1));
      break;
    }
  }
  return fields;
}

std::optional<uint64_t> parseUnsigned(std::string_view text) {
  std::optional<Decimal> value = parseDecimal(text);
  if (!value || (value->negative && value->magnitude != 0)) return std::nullopt;
  return value->magnitude;
}

std::optional<int64_t> parseSigned(std::string_view text) {
  std::optional<Decimal> value = parseDecimal(text);
  if (!value) return std::nullopt;
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (!value->negative) {
    if (value->magnitude > kMaxPositive) return std::nullopt;
    return static_cast<int64_t>(value->magnitude);
  }
  if (value->magnitude > kMaxPositive + 1) return std::nullopt;
  if (value->magnitude == kMaxPositive + 1) return std::numeric_limits<int64_t>::min();
  return -static_cast<int64_t>(value->magnitude);
}

std::string_view topLevelName(std::string_view name) {
  size_t start = name.find_first_not_of('/');
  if (start == std::string_view::npos) return {};
  size_t end = name.find('/', start);
  return name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

namespace {

bool isVersion(std::string_view field) {
  return field.size() == 3 && field[0] >= '0' && field[0] <= '9' && field[1] == '.' && field[2] >= '0' &&
         field[2] <= '9';
}

// One column of a Unix mode as zipinfo prints it: `allowed` lists the letters it may show.
bool columnIs(char c, std::string_view allowed) { return allowed.find(c) != std::string_view::npos; }

}  // namespace

bool isAcceptedEntry(std::string_view permissions, std::string_view host, std::string_view flags) {
  // The text or binary flag is upper case for an encrypted entry.
  if (flags.empty() || !(flags[0] == 't' || flags[0] == 'b')) return false;
  if (host == "fat") {
    // "-rw-a--" style: only the kind is read; unzip gives these entries the umask's modes.
    return !permissions.empty() && (permissions[0] == '-' || permissions[0] == 'd');
  }
  if (host != "unx" || permissions.size() != 10) return false;
  const char kind = permissions[0];
  if (kind == 'l') return true;  // a link's own mode means nothing
  if (kind != '-' && kind != 'd') return false;
  // Owner, group and others: read, write, execute. Group and others never write; "s", "S",
  // "t" and "T" (set-id and sticky bits) are refused by leaving them out.
  const bool shape = columnIs(permissions[1], "-r") && columnIs(permissions[2], "-w") && columnIs(permissions[3], "-x") &&
                     columnIs(permissions[4], "-r") && permissions[5] == '-' && columnIs(permissions[6], "-x") &&
                     columnIs(permissions[7], "-r") && permissions[8] == '-' && columnIs(permissions[9], "-x");
  if (!shape) return false;
  return kind != 'd' || permissions.substr(1, 3) == "rwx";
}

LongListing parseLongListing(std::string_view output) {
  LongListing listing;
  bool first = true;
  for (std::string_view line : splitLines(output)) {
    const bool header = first && line.starts_with("Archive:");
    first = false;
    if (!header) {
      std::vector<std::string_view> fields = cutFields(line);
      if (fields.size() == kEntryFields && isVersion(fields[1])) {
        ++listing.entries;
        std::optional<uint64_t> size = parseUnsigned(fields[kSizeField]);
        if (!size || __builtin_add_overflow(listing.declared, *size, &listing.declared)) {
          listing.declaredOverflows = true;
        }
        if (!listing.refused && !isAcceptedEntry(fields[0], fields[2], fields[4])) listing.refused = fields[kNameField];
      }
    }
    const char kind = line[0];
    if (kind != '-' && kind != 'l') continue;
    std::vector<std::string_view> fields = cutFields(line);
    const bool complete = fields.size() == kEntryFields;
    if (kind == '-') {
      if (!complete) continue;
      // Unsigned arithmetic: the total wraps around at 2^64 by design.
      if (std::optional<uint64_t> size = parseUnsigned(fields[kSizeField])) listing.bytes += *size;
      continue;
    }
    ListedLink link;
    if (complete) {
      link.name = fields[kNameField];
      std::optional<int64_t> size = parseSigned(fields[kSizeField]);
      link.wellFormed = size && *size >= 1 && *size <= kMaxLinkTarget;
    }
    listing.links.push_back(link);
  }
  return listing;
}

}  // namespace mirelo::archive_listing
