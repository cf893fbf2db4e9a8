#pragma once

// The small file operations the client needs, each refusing symbolic links where a path
// must name the object itself.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace mirelo::client {

// A fresh random UUID in lower-case canonical form (36 characters).
std::string newUuid();

// Replaces `folder`/`name` crash-safely: the bytes go to ".pending-<UUID>" in the same folder,
// which is flushed and renamed over the destination, and the folder is flushed after the
// rename. A reader sees the old file, no file, or the whole new one, never a part; the
// temporary is removed on every failure. Throws std::system_error.
void replaceFile(const std::filesystem::path& folder, const std::string& name, const std::string& content);

// The whole content of a regular file of at most `limit` bytes, opened without following a
// final link; nothing when the path is missing, a link, not a regular file, too large or
// unreadable. Never throws for these.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t limit);

// Device and inode of a path as lstat reports them; nothing when lstat fails.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// True when `path` is a folder itself (lstat: not a link to one).
bool isRealFolder(const std::filesystem::path& path);

}  // namespace mirelo::client
