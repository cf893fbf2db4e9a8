#include "update-helper/install/inventory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/errno_error.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/tree.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo::install {
namespace {

const char kCannotInspect[] = "Cannot inspect update";
const char kUnexpectedEntry[] = "Unexpected update entry";

// The cancellation flag is polled once per this many items, so that a cancellation does
// not wait for the walk of a large bundle to end.
constexpr size_t kItemsPerCheckpoint = 256;

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
  char buffer[24];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// Appends the record of one item: path, kind, permission bits, size and modification time,
// separated by NUL. The nanoseconds are written without leading zeros: 5 ns after a whole
// second is ".5".
void appendRecord(std::string& record, const WalkEntry& entry) {
  const struct stat& status = entry.status;
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
}

// Holds every record, each followed by its line feed, in blocks that never move, so that
// views of the records stay valid and no growing buffer is copied or faulted in again.
class RecordStore {
 public:
  // Copies `record` and a line feed in; returns the record without the line feed.
  std::string_view add(std::string_view record) {
    size_t needed = record.size() + 1;
    if (blocks_.empty() || kBlockBytes - used_ < needed) {
      blocks_.push_back(std::make_unique<char[]>(std::max(kBlockBytes, needed)));
      used_ = 0;
    }
    char* at = blocks_.back().get() + used_;
    std::copy(record.begin(), record.end(), at);
    at[record.size()] = '\n';
    used_ += needed;
    return std::string_view(at, record.size());
  }

 private:
  // Below the allocator's threshold for mapping fresh pages.
  static constexpr size_t kBlockBytes = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0;
};

// Records sort by their canonical composition, which in UTF-8 byte order is the order of
// Unicode scalar values; `key` is the record itself when composing changes nothing.
struct Sortable {
  std::string_view key;
  std::string_view text;
};

}  // namespace

std::string inventory(const std::filesystem::path& bundle, InventoryCancellation cancellation) {
  // Every failure of the walk itself (the folder missing or a link, a folder below it that
  // cannot be listed, an item that vanished) means the tree cannot be inspected. A folder
  // that cannot be listed is not skipped: its content would escape the digest.
  std::optional<TreeWalk> walk;
  try {
    walk.emplace(openFolder(bundle, false), false);
  } catch (const std::system_error&) {
    throw InstallFailure::invalid(kCannotInspect);
  }
  RecordStore store;
  std::vector<Sortable> records;
  records.reserve(1024);
  std::string record;
  for (;;) {
    const WalkEntry* entry = nullptr;
    try {
      entry = walk->next();
    } catch (const std::system_error&) {
      throw InstallFailure::invalid(kCannotInspect);
    }
    if (entry == nullptr) break;
    if (entry->statError != 0) throw InstallFailure::invalid(kCannotInspect);
    if (cancellation == InventoryCancellation::kObserved && (records.size() + 1) % kItemsPerCheckpoint == 0) {
      ChildProcesses::shared().checkCancelled();
    }
    record.clear();
    appendRecord(record, *entry);
    std::string_view text = store.add(record);
    std::string_view key = text;
    if (!isAscii(text)) {
      std::string composed = text::toNFC(text);
      if (composed != text) key = store.add(composed);
    }
    records.push_back(Sortable{key, text});
  }
  if (records.empty()) throw InstallFailure::invalid(kCannotInspect);

  // Canonically equivalent records (two spellings of one name, both present) are ordered by
  // their bytes, so the digest never depends on the walk's order.
  std::sort(records.begin(), records.end(), [](const Sortable& a, const Sortable& b) {
    int comparison = a.key.compare(b.key);
    return comparison != 0 ? comparison < 0 : a.text < b.text;
  });

  Sha256 hash;
  for (const Sortable& sorted : records) {
    // Each record is followed by its line feed in the store.
    hash.update(sorted.text.data(), sorted.text.size() + 1);
  }
  return lowerHex(hash.finish());
}

}  // namespace mirelo::install
