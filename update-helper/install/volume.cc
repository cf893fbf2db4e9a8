#include "update-helper/install/volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "platform/fs.h"
#include "platform/path_text.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/install_messages.h"

namespace mirelo::install {

void syncFile(const std::string& path) {
  UniqueFd fd;
  try {
    fd = fs::openNoFollow(path);
  } catch (const std::system_error&) {
    throw InstallFailure::invalid(kCannotOpenFileMessage);
  }
  if (::fsync(fd.get()) != 0) throw InstallFailure::invalid(kCannotFlushFileMessage);
}

void syncVolume(const std::string& path) {
  // The path only selects the volume, so a link to a file on it is followed.
  UniqueFd fd(!path_text::hasNul(path) ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1);
  if (!fd) throw InstallFailure::invalid("Cannot open update volume");
  try {
    fs::flushVolume(fd.get());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Cannot durably flush update");
  }
}

void requireAPFS(const std::filesystem::path& path) {
  fs::VolumeInfo volume;
  try {
    volume = fs::inspectVolume(path.string());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Cannot inspect update volume");
  }
  // Only the file-system type counts; no flag of the volume is examined.
  if (!fs::isAtomicExchangeVolume(volume.type)) {
    throw InstallFailure::invalid("Atomic updates require a local APFS volume");
  }
}

void requireSpace(const std::filesystem::path& on, uint64_t bytes) {
  fs::VolumeInfo volume;
  try {
    volume = fs::inspectVolume(on.string());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Cannot inspect update volume");
  }
  requireRoom(volume.blocksAvailable, volume.blockSize, bytes);
}

void requireRoom(uint64_t blocksAvailable, uint64_t blockSize, uint64_t bytes) {
  uint64_t available = 0;
  if (__builtin_mul_overflow(blocksAvailable, blockSize, &available)) return;
  uint64_t needed = 0;
  if (__builtin_add_overflow(bytes, kSpaceReserve, &needed)) throw InstallFailure::noSpace();
  if (available < needed) throw InstallFailure::noSpace();
}

}  // namespace mirelo::install
