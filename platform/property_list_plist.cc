#include "platform/property_list.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <system_error>

#include "platform/tree.h"
#include "platform/unique_fd.h"

namespace mirelo {
namespace {

struct FreePlist {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, FreePlist>;

struct FreeIterator {
  void operator()(plist_dict_iter iterator) const noexcept { free(iterator); }
};

std::optional<PropertyListDictionary> parseFrom(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  std::string bytes;
  try {
    bytes = readAll(fd, PropertyListDictionary::kMaxBytes);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return PropertyListDictionary::parse(bytes);
}

// A big-endian unsigned number of `size` bytes at `at`; nothing when it does not fit.
std::optional<uint64_t> bigEndian(std::string_view bytes, uint64_t at, uint64_t size) {
  if (size == 0 || size > 8 || at > bytes.size() || size > bytes.size() - at) return std::nullopt;
  uint64_t value = 0;
  for (uint64_t i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

// libplist cannot hand out a dictionary key with a NUL character: it stops the whole process
// on an assertion instead, so a hostile Info.plist could end the helper. No property list
// that a bundle needs holds one. Only what this check can read is looked at; anything
// malformed is left to libplist.
bool PropertyListDictionary::binaryListHoldsANul(std::string_view bytes) {
  constexpr std::string_view kMagic = "bplist";
  constexpr uint64_t kTrailer = 32;
  if (!bytes.starts_with(kMagic) || bytes.size() < kMagic.size() + kTrailer) return false;
  const uint64_t trailer = bytes.size() - kTrailer;
  const uint64_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
  const auto objects = bigEndian(bytes, trailer + 8, 8);
  const auto table = bigEndian(bytes, trailer + 24, 8);
  if (!objects || !table || offsetSize == 0 || offsetSize > 8 || *table > bytes.size() ||
      *objects > (bytes.size() - *table) / offsetSize) {
    return false;
  }
  for (uint64_t i = 0; i < *objects; ++i) {
    const auto offset = bigEndian(bytes, *table + i * offsetSize, offsetSize);
    if (!offset || *offset >= bytes.size()) continue;
    const unsigned char marker = static_cast<unsigned char>(bytes[*offset]);
    const unsigned kind = marker >> 4;
    // 0x5: ASCII, 0x6: UTF-16 (big-endian units), 0x7: UTF-8.
    if (kind < 0x5 || kind > 0x7) continue;
    uint64_t start = *offset + 1;
    uint64_t length = marker & 0x0F;
    if (length == 0x0F) {
      // The length follows as an integer object: 0x1N, then 2^N bytes.
      if (start >= bytes.size() || (static_cast<unsigned char>(bytes[start]) >> 4) != 0x1) continue;
      const uint64_t size = uint64_t{1} << (static_cast<unsigned char>(bytes[start]) & 0x0F);
      const auto counted = bigEndian(bytes, start + 1, size);
      if (!counted) continue;
      length = *counted;
      start += 1 + size;
    }
    const uint64_t unit = kind == 0x6 ? 2 : 1;
    if (start > bytes.size() || length > (bytes.size() - start) / unit) continue;
    for (uint64_t at = start; at < start + length * unit; at += unit) {
      if (bytes[at] == '\0' && (unit == 1 || bytes[at + 1] == '\0')) return true;
    }
  }
  return false;
}

std::optional<PropertyListDictionary> PropertyListDictionary::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxBytes) return std::nullopt;
  if (binaryListHoldsANul(bytes)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

  PropertyListDictionary result;
  plist_dict_iter rawIterator = nullptr;
  plist_dict_new_iter(root.get(), &rawIterator);
  std::unique_ptr<void, FreeIterator> iterator(rawIterator);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), rawIterator, &key, &value);
    if (value == nullptr) {
      free(key);
      break;
    }
    std::unique_ptr<char, decltype(&free)> ownedKey(key, &free);
    if (key == nullptr) continue;
    // A binary list may hold a key twice; the last value counts, as for any dictionary
    // built from it, so a later value that is not a string makes the key absent.
    if (plist_get_node_type(value) != PLIST_STRING) {
      result.strings_.erase(std::string(key));
      continue;
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr) continue;
    result.strings_.insert_or_assign(std::string(key), std::string(text, length));
  }
  return result;
}

std::optional<PropertyListDictionary> PropertyListDictionary::read(const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  return parseFrom(fd.get());
}

std::optional<PropertyListDictionary> PropertyListDictionary::readBundleInfo(const std::filesystem::path& bundle) {
  try {
    UniqueFd folder = openFolder(bundle, false);
    UniqueFd fd = openBeneath(folder.get(), "Contents/Info.plist", O_RDONLY | O_NONBLOCK);
    return parseFrom(fd.get());
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

std::optional<std::string> PropertyListDictionary::string(const std::string& key) const {
  auto found = strings_.find(key);
  if (found == strings_.end()) return std::nullopt;
  return found->second;
}

}  // namespace mirelo
