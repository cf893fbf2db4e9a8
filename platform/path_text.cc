#include "platform/path_text.h"

namespace mirelo::path_text {

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string withoutLastComponent(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  const auto slash = trimmed.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(trimmed.substr(0, slash));
}

std::pair<std::string, std::string> splitLastComponent(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  const auto slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(trimmed)};
  return {slash == 0 ? "/" : std::string(trimmed.substr(0, slash)), std::string(trimmed.substr(slash + 1))};
}

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path) {
  return path.has_filename() || !path.has_relative_path() ? path : path.parent_path();
}

}  // namespace mirelo::path_text
