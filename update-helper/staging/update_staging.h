#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace mirelo {

// One hidden staging folder beside the installed application (".mirelo-update-<UUID>"),
// known by its identity (device and inode). Destroying the object never touches the disk:
// only cleanup() removes the folder, and only after proving that the path still names it.
class UpdateStaging {
 public:
  static constexpr int kRemovalAttempts = 4;

  // Creates a new, empty folder with mode 0700 inside `parent`.
  explicit UpdateStaging(const std::filesystem::path& parent);
  // Takes over a recorded folder after checking its name, type, identity, owner and mode.
  UpdateStaging(const std::filesystem::path& directory, int32_t device, uint64_t inode);

  static bool isStagingName(std::string_view component);

  const std::filesystem::path& directory() const { return directory_; }
  int32_t device() const { return device_; }
  uint64_t inode() const { return inode_; }

  void didReplace() { replaced_ = true; }
  void cleanup(bool startupConfirmed = false);

 private:
  std::filesystem::path directory_;
  int32_t device_ = 0;
  uint64_t inode_ = 0;
  bool replaced_ = false;
  bool removed_ = false;
};

}  // namespace mirelo
