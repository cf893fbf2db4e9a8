#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

namespace mirelo {

// One hidden staging folder beside the installed application (".mirelo-update-<UUID>"),
// known by its identity (device and inode). Destroying the object never touches the disk:
// only cleanup() removes the folder, and only after proving that the path still names it.
class UpdateStaging {
 public:
  static constexpr int kRemovalAttempts = 4;

  // Creates a new, empty folder with mode 0700 (whatever the umask) inside `parent`.
  // Throws the errno of mkdir or chmod unchanged; "Cannot inspect update folder" when the new
  // folder cannot be examined (it stays on disk); EOVERFLOW when its device number does not
  // fit the records' signed 32-bit field (the new, empty folder is removed again).
  explicit UpdateStaging(const std::filesystem::path& parent);
  // Takes over a recorded folder after checking its name ("Unexpected update folder"), and
  // its type, identity, owner and mode ("Update folder identity changed"). Changes nothing.
  UpdateStaging(const std::filesystem::path& directory, int32_t device, uint64_t inode);

  static bool isStagingName(std::string_view component);

  // The device number as the records hold it, or nothing when it is negative or does not fit
  // in a signed 32-bit value. Device numbers are compared in full, never truncated.
  static std::optional<int32_t> recordableDevice(dev_t device);

  const std::filesystem::path& directory() const { return directory_; }
  int32_t device() const { return device_; }
  uint64_t inode() const { return inode_; }

  void didReplace() { replaced_ = true; }
  // Removes the folder with everything in it, checking before every attempt that the path
  // still names this folder. Returns at once once the folder is known to be gone, or while
  // a swapped-in candidate has not confirmed its start. Throws "Cannot inspect update
  // folder", "Update folder identity changed", the last removal error, or "Cannot remove
  // update folder".
  void cleanup(bool startupConfirmed = false);

  // Replaces the removal of the whole folder in cleanup() (called with the folder's path),
  // so that tests can make it fail or succeed without effect.
  void setRemovalForTesting(std::function<void(const std::filesystem::path&)> removal) {
    removalForTesting_ = std::move(removal);
  }

 private:
  // Whether lstat's answer names this very folder: a directory with its device and inode.
  bool isThisFolder(const struct stat& status) const;
  void removeFolder() const;

  std::filesystem::path directory_;
  int32_t device_ = 0;
  uint64_t inode_ = 0;
  bool replaced_ = false;
  bool removed_ = false;
  std::function<void(const std::filesystem::path&)> removalForTesting_;
};

}  // namespace mirelo
