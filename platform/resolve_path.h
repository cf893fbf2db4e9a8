#pragma once

#include <filesystem>

namespace mirelo {

// Standardises a path and resolves the links in it the way file URLs are resolved: a
// relative path is taken from the current folder, the longest leading part that exists is
// replaced by its realpath, the rest is appended unchanged, and "." and ".." components are
// folded. Never fails, also for a path that does not exist; no trailing slash remains.
std::filesystem::path resolveLinks(const std::filesystem::path& path);

}  // namespace mirelo
