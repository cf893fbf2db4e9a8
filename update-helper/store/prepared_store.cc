#include "update-helper/store/prepared_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/fs.h"
#include "platform/path_text.h"
#include "platform/pattern.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/common/version.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

using path_text::hasNul;

// The request's value rules, in their order. A path with a NUL byte cannot name a file, so
// it is refused as well rather than being cut short further down.
bool isValidRequest(const PrepareRequest& request) {
  static const Pattern kTag("[0-9A-Za-z._-]{1,128}");
  return isVersionText(request.version) && kTag.matchesWhole(request.tag) &&
         request.archive.starts_with("/") && request.archive.ends_with(".zip") &&
         request.executable.starts_with("/") && !hasNul(request.archive) && !hasNul(request.executable);
}


// True when the record at `path` is there but could not be read just now (an I/O error, no
// memory, no descriptor left), as opposed to a record that is unsuitable (a link, not a
// regular file, too large) or not a record at all. Such a record is kept: it may be the only
// thing that still names its staging folder.
bool isReadFailure(const std::filesystem::path& path) noexcept {
  try {
    // Read a second time; a record that reads whole now was also only unreadable for a moment.
    const nlohmann::json json = nlohmann::json::parse(fs::readSmallFile(path.string(), kRecordSizeLimit), nullptr, false);
    return !json.is_discarded() && decodeRecord<StagingClaim>(json).has_value();
  } catch (const std::system_error& error) {
    const int code = error.code().value();
    // Refused access stays refused: such a record is as unusable as a link.
    return code != ENOENT && code != ELOOP && code != EINVAL && code != EFBIG && code != EACCES && code != EPERM &&
           code != EISDIR;
  } catch (...) {
    return true;
  }
}

}  // namespace

PrepareRequest PreparedStore::readRequest() const {
  const std::optional<PrepareRequest> request = read<PrepareRequest>(requestPath());
  if (!request || !isValidRequest(*request)) throw InstallFailure::invalid("Invalid update request");
  return *request;
}

bool PreparedStore::remove(const Claim& claim) const noexcept {
  try {
    // No folder can be named by a path with a NUL byte: the record is stale.
    if (hasNul(claim.staging)) return true;
    const std::filesystem::path folder = path_text::withoutTrailingSeparator(claim.staging);
    struct stat status {};
    if (const int error = fs::lstatPath(folder.string(), &status); error != 0) return error == ENOENT;
    if (claim.stagingDevice < std::numeric_limits<int32_t>::min() ||
        claim.stagingDevice > std::numeric_limits<int32_t>::max()) {
      return true;
    }
    std::optional<UpdateStaging> staging;
    try {
      staging.emplace(folder, static_cast<int32_t>(claim.stagingDevice), claim.stagingInode);
    } catch (...) {
      // Whatever is there now is not the recorded folder: leave it alone.
      return true;
    }
    try {
      staging->cleanup(false);
    } catch (...) {
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void PreparedStore::discard() const noexcept {
  try {
    for (const std::filesystem::path& path : {claimPath(), recordPath()}) {
      struct stat status {};
      if (fs::lstatPath(path.string(), &status) != 0) continue;
      const std::optional<Claim> claim = read<Claim>(path);
      if (!claim && isReadFailure(path)) continue;
      if (!claim || remove(*claim)) ::unlink(path.c_str());
    }
  } catch (...) {
    // Housekeeping reports only through what remains on disk.
  }
}

std::optional<PreparedCandidate> PreparedStore::claim(const std::filesystem::path& into) const noexcept {
  try {
    const std::filesystem::path source = recordPath();
    const std::filesystem::path destination = into / "adopted.json";
    // A path cut short at a NUL byte would name another entry, perhaps a whole folder.
    if (hasNul(source.native()) || hasNul(destination.native())) return std::nullopt;
    if (::rename(source.c_str(), destination.c_str()) != 0) return std::nullopt;
    if (std::optional<PreparedCandidate> candidate = read<PreparedCandidate>(destination)) return candidate;
    if (const std::optional<Claim> stale = read<Claim>(destination)) remove(*stale);
  } catch (...) {
  }
  return std::nullopt;
}

std::optional<UniqueFd> PreparedStore::waitUntilIdle() const noexcept {
  try {
    if (hasNul(lockPath().native())) return std::nullopt;
    UniqueFd fd(::open(lockPath().c_str(), O_RDWR | O_NOFOLLOW | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) return std::nullopt;
    for (;;) {
      if (::flock(fd.get(), LOCK_EX) == 0) return fd;
      if (errno != EINTR) return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace mirelo
