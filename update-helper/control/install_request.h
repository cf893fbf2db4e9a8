#pragma once

// "native-install.json": what the desktop application asks the foreground session to
// install, written into the session directory before the session starts.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace mirelo {

struct InstallRequest {
  std::string archive;
  std::string executable;
  std::string version;
  int32_t pid = 0;
  // The preparation directory whose candidate is adopted first, when given.
  std::optional<std::string> prepared;

  // The installed bundle: "executable" with its last three path components removed.
  std::filesystem::path target() const;
};

// Decodes a request from the bytes of the file. The top level must be an object with
// "archive", "executable" and "version" as strings and "pid" as a whole number that fits a
// signed 32-bit integer exactly; "prepared" is used when it is a string; other members are
// ignored. Throws "Invalid update request" for a document that breaks any of that, and the
// JSON library's error for bytes that are not JSON. `version`, when given, receives the
// "version" member as soon as the document is an object with a string there, also when
// the request turns out to be invalid.
InstallRequest decodeInstallRequest(std::string_view bytes, std::optional<std::string>* version = nullptr);

// Reads the whole file at `path` (links followed; a named pipe without a writer reads as
// empty instead of blocking). Throws the errno of open or read; EFBIG past 16 MiB.
std::string readWholeFile(const std::string& path);

}  // namespace mirelo
