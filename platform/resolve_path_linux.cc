#include "platform/resolve_path.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace mirelo {
namespace {

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path, start, slash - start);
    start = slash + 1;
  }
  return parts;
}

std::string currentFolder() {
  std::unique_ptr<char, decltype(&free)> cwd(::getcwd(nullptr, 0), &free);
  return cwd ? std::string(cwd.get()) : std::string("/");
}

}  // namespace

std::filesystem::path resolveLinks(const std::filesystem::path& path) {
  std::string text = path.string();
  if (text.empty() || text[0] != '/') text = currentFolder() + "/" + text;
  std::vector<std::string> parts = components(text);

  // The longest leading part that realpath accepts; "/" always resolves.
  std::string resolved = "/";
  size_t used = 0;
  for (size_t count = parts.size(); count > 0; --count) {
    std::string prefix;
    for (size_t i = 0; i < count; ++i) prefix += "/" + parts[i];
    char buffer[PATH_MAX];
    if (::realpath(prefix.c_str(), buffer) != nullptr) {
      resolved = buffer;
      used = count;
      break;
    }
  }

  std::vector<std::string> folded = components(resolved);
  for (size_t i = used; i < parts.size(); ++i) {
    if (parts[i] == ".") continue;
    if (parts[i] == "..") {
      if (!folded.empty()) folded.pop_back();
      continue;
    }
    folded.push_back(parts[i]);
  }
  std::string result;
  for (const std::string& part : folded) result += "/" + part;
  return result.empty() ? std::filesystem::path("/") : std::filesystem::path(result);
}

}  // namespace mirelo
