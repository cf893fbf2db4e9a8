#include "update-helper/staging/update_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <limits>
#include <string>

#include "platform/errno_error.h"
#include "platform/fs.h"
#include "platform/path_text.h"
#include "platform/pattern.h"
#include "platform/uuid.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

constexpr const char* kNamePrefix = ".mirelo-update-";
constexpr mode_t kFolderMode = 0700;

}  // namespace

UpdateStaging::UpdateStaging(const std::filesystem::path& parent)
    : directory_(parent / (kNamePrefix + randomUuidText())) {
  const std::string path = directory_.string();
  if (path_text::hasNul(path)) throwErrno(EINVAL, "mkdir");
  if (::mkdir(path.c_str(), kFolderMode) != 0) throwErrno("mkdir");
  // mkdir's mode is filtered by the umask; the folder must be exactly owner-only.
  if (::chmod(path.c_str(), kFolderMode) != 0) throwErrno("chmod");
  struct stat status {};
  if (fs::lstatPath(path, &status) != 0) throw InstallFailure::invalid("Cannot inspect update folder");
  const std::optional<int32_t> device = recordableDevice(status.st_dev);
  if (!device) {
    // The folder could never be recorded and proven again later; take the empty folder away
    // (rmdir removes nothing else) and refuse.
    ::rmdir(path.c_str());
    throwErrno(EOVERFLOW, "lstat");
  }
  device_ = *device;
  inode_ = status.st_ino;
}

UpdateStaging::UpdateStaging(const std::filesystem::path& directory, int32_t device, uint64_t inode)
    : directory_(path_text::withoutTrailingSeparator(directory)), device_(device), inode_(inode) {
  if (!isStagingName(directory_.filename().string())) throw InstallFailure::invalid("Unexpected update folder");
  struct stat status {};
  if (fs::lstatPath(directory_.string(), &status) != 0 || !isThisFolder(status) || status.st_uid != ::getuid() ||
      (status.st_mode & 077) != 0) {
    throw InstallFailure::invalid("Update folder identity changed");
  }
}

bool UpdateStaging::isStagingName(std::string_view component) {
  static const Pattern kPattern(R"(\.mirelo-update-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})");
  return kPattern.matchesWhole(component);
}

std::optional<int32_t> UpdateStaging::recordableDevice(dev_t device) {
  if (device > static_cast<dev_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  return static_cast<int32_t>(device);
}

bool UpdateStaging::isThisFolder(const struct stat& status) const {
  // A negative recorded device can never name a Linux device, whose numbers are unsigned.
  return S_ISDIR(status.st_mode) && device_ >= 0 && status.st_dev == static_cast<dev_t>(device_) &&
         static_cast<uint64_t>(status.st_ino) == inode_;
}

void UpdateStaging::removeFolder() const {
  if (removalForTesting_) {
    removalForTesting_(directory_);
    return;
  }
  fs::removeTree(directory_.string(),
                 fs::FileIdentity{static_cast<dev_t>(device_), static_cast<ino_t>(inode_)});
}

void UpdateStaging::cleanup(bool startupConfirmed) {
  if (removed_) return;
  // After the swap the folder holds the previous application, kept until the new one has
  // confirmed its start.
  if (replaced_ && !startupConfirmed) return;

  const std::string path = directory_.string();
  std::exception_ptr removalError;
  for (int attempt = 0; attempt <= kRemovalAttempts; ++attempt) {
    struct stat status {};
    const int error = fs::lstatPath(path, &status);
    if (error == ENOENT) {
      removed_ = true;
      return;
    }
    if (error != 0) throw InstallFailure::invalid("Cannot inspect update folder");
    if (!isThisFolder(status)) throw InstallFailure::invalid("Update folder identity changed");
    if (attempt == kRemovalAttempts) break;
    try {
      removeFolder();
    } catch (...) {
      removalError = std::current_exception();
    }
  }
  if (removalError) std::rethrow_exception(removalError);
  throw InstallFailure::invalid("Cannot remove update folder");
}

}  // namespace mirelo
