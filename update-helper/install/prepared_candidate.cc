#include "update-helper/install/prepared_candidate.h"

#include <sys/stat.h>

#include <system_error>

#include "platform/fs.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {

std::filesystem::path PreparedCandidate::unpark(const std::filesystem::path& stagingFolder) const {
  const std::filesystem::path parked = stagingFolder / kParkedName;
  const std::filesystem::path destination = stagingFolder / bundle;
  struct stat status {};
  if (fs::lstatPath(parked.string(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      static_cast<uint64_t>(status.st_ino) != candidateInode) {
    throw InstallFailure::invalid("Prepared update changed");
  }
  try {
    fs::renameNoReplace(parked.string(), destination.string());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Prepared update changed");
  }
  return destination;
}

uint64_t park(const std::filesystem::path& candidate, const std::filesystem::path& staging) {
  struct stat status {};
  if (fs::lstatPath(candidate.string(), &status) != 0) throw InstallFailure::invalid("Cannot park prepared update");
  try {
    fs::renameNoReplace(candidate.string(), (staging / PreparedCandidate::kParkedName).string());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Cannot park prepared update");
  }
  return status.st_ino;
}

}  // namespace mirelo
