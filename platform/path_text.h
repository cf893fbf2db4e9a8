#pragma once

// Paths as text: the few rules for cutting and checking them that the helper applies
// before a path reaches the system. Pure functions; nothing here touches the disk.

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace mirelo::path_text {

// Whether `text` holds a NUL byte: every system call would cut the path short there and
// name another file.
bool hasNul(std::string_view text);

// `path` without its trailing slashes; "/" (and a path of slashes only) stays "/".
std::string_view withoutTrailingSlashes(std::string_view path);

// The path with its last component removed, as a file URL does it: trailing slashes go
// first, so ".../MacOS/Mirelo/" loses "Mirelo" too. A single component gives ".", a
// component directly below the root gives "/".
std::string withoutLastComponent(std::string_view path);

// The folder that holds the last component of `path`, and that component. Trailing slashes
// are ignored; a path without a slash lies in ".". The component may come out as "", "."
// or "..", which name no entry of their own: callers that need one refuse those.
std::pair<std::string, std::string> splitLastComponent(std::string_view path);

// "/a/b/" names the folder b like "/a/b"; without the separator, lstat does not resolve a
// link at that place either. Other paths are returned unchanged.
std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path);

}  // namespace mirelo::path_text
