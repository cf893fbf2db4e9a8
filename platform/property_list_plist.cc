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

}  // namespace

std::optional<PropertyListDictionary> PropertyListDictionary::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxBytes) return std::nullopt;
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
