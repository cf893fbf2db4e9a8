#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/errno_error.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/tree.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/install/install_failure.h"

namespace mirelo {
namespace {

const char kCannotInspect[] = "Cannot inspect update";
const char kUnexpectedEntry[] = "Unexpected update entry";

struct Record {
  std::string text;
  // The canonical composition of `text` when it differs from it; records sort by this key,
  // which in UTF-8 byte order is the order of Unicode scalar values.
  std::string composed;

  std::string_view key() const { return composed.empty() ? std::string_view(text) : std::string_view(composed); }
};

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
  char buffer[24];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// Path, kind, permission bits, size and modification time, separated by NUL. The
// nanoseconds are written without leading zeros: 5 ns after a whole second is ".5".
std::string buildRecord(const WalkEntry& entry) {
  const struct stat& status = entry.status;
  std::string record;
  record.reserve(entry.path.size() + 48);
  record += entry.path;
  record += '\0';
  if (S_ISREG(status.st_mode)) {
    record += 'f';
  } else if (S_ISDIR(status.st_mode)) {
    record += 'd';
  } else if (S_ISLNK(status.st_mode)) {
    std::string target(256, '\0');
    for (;;) {
      ssize_t n = ::readlinkat(entry.parentFd, entry.name, target.data(), target.size());
      if (n < 0) throwErrno("readlinkat");
      if (static_cast<size_t>(n) < target.size()) {
        target.resize(static_cast<size_t>(n));
        break;
      }
      target.resize(target.size() * 2);
    }
    record += "l>";
    record += target;
  } else {
    throw InstallFailure::invalid(kUnexpectedEntry);
  }
  record += '\0';
  appendNumber(record, static_cast<unsigned>(status.st_mode & 07777));
  record += '\0';
  appendNumber(record, static_cast<long long>(status.st_size));
  record += '\0';
  appendNumber(record, static_cast<long long>(status.st_mtim.tv_sec));
  record += '.';
  appendNumber(record, static_cast<long long>(status.st_mtim.tv_nsec));
  return record;
}

}  // namespace

std::string AtomicInstall::inventory(const std::filesystem::path& bundle) {
  // Every failure of the walk itself (the folder missing or a link, a folder below it that
  // cannot be listed, an item that vanished) means the tree cannot be inspected. A folder
  // that cannot be listed is not skipped: its content would escape the digest.
  std::optional<TreeWalk> walk;
  try {
    walk.emplace(openFolder(bundle, false), false);
  } catch (const std::system_error&) {
    throw InstallFailure::invalid(kCannotInspect);
  }
  std::vector<Record> records;
  for (;;) {
    const WalkEntry* entry = nullptr;
    try {
      entry = walk->next();
    } catch (const std::system_error&) {
      throw InstallFailure::invalid(kCannotInspect);
    }
    if (entry == nullptr) break;
    if (entry->statError != 0) throw InstallFailure::invalid(kCannotInspect);
    Record record{buildRecord(*entry), std::string()};
    if (!isAscii(record.text)) {
      record.composed = text::toNFC(record.text);
      if (record.composed == record.text) record.composed.clear();
    }
    records.push_back(std::move(record));
  }
  if (records.empty()) throw InstallFailure::invalid(kCannotInspect);

  // Canonically equivalent records (two spellings of one name, both present) are ordered by
  // their bytes, so the digest never depends on the walk's order. Pointers are sorted, not
  // the records themselves.
  std::vector<const Record*> order;
  order.reserve(records.size());
  size_t total = 0;
  for (const Record& record : records) {
    order.push_back(&record);
    total += record.text.size() + 1;
  }
  std::sort(order.begin(), order.end(), [](const Record* a, const Record* b) {
    int comparison = a->key().compare(b->key());
    return comparison != 0 ? comparison < 0 : a->text < b->text;
  });

  std::string listing;
  listing.reserve(total);
  for (const Record* record : order) {
    listing += record->text;
    listing += '\n';
  }
  return lowerHex(Sha256::of(listing));
}

}  // namespace mirelo
