#include "update-helper/install/extraction.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <system_error>
#include <vector>

#include "platform/codesign.h"
#include "platform/errno_error.h"
#include "platform/fs.h"
#include "platform/tree.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/install_messages.h"
#include "update-helper/install/volume.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo::install {
namespace {

const char kExtractionTool[] = "/usr/bin/unzip";
const char kSignatureMismatch[] = "Update signature mismatch";

// The cancellation flag is polled once per this many flushed files.
constexpr size_t kFilesPerCheckpoint = 256;

constexpr uint32_t kExtractionFlags =
    codesign::kCheckAllArchitectures | codesign::kCheckNestedCode | codesign::kStrictValidate;

void checkpoint() { ChildProcesses::shared().checkCancelled(); }

void requireValidSignature(const std::filesystem::path& candidate, const InstalledApplication& installed) {
  // Without the installed application's requirement nothing could be satisfied.
  if (!installed.requirement) throw InstallFailure::invalid(kSignatureMismatch);
  try {
    codesign::StaticCode code = codesign::StaticCode::createWithPath(candidate);
    code.checkValidity(kExtractionFlags, installed.requirement.get());
  } catch (const codesign::SignatureError&) {
    throw InstallFailure::invalid(kSignatureMismatch);
  }
}

// Opened relative to the folder that the walk holds open, so neither the last component
// nor any folder above it can be a link.
void flushFileAt(int folderFd, const char* name) {
  UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) throw InstallFailure::invalid(kCannotOpenFileMessage);
  if (::fsync(fd.get()) != 0) throw InstallFailure::invalid(kCannotFlushFileMessage);
}

// One flush of the whole volume writes the extraction out in a single pass, so that the
// per-item flushes that follow find little left to do instead of each forcing a journal
// commit of its own (about three times faster for a few thousand files on ext4). Not being
// able to open the folder only costs time; a failed flush does not: the kernel reports a
// write-back error to one flush of the volume only, so the flushes that follow would
// succeed although the data never reached the disk.
void writeOutVolume(const std::filesystem::path& folder) {
  UniqueFd fd;
  try {
    fd = fs::openNoFollow(folder.string());
  } catch (...) {
    return;
  }
  try {
    fs::flushVolume(fd.get());
  } catch (const std::system_error&) {
    throw InstallFailure::invalid("Cannot durably flush update");
  }
}

}  // namespace

std::filesystem::path extract(const std::filesystem::path& archive, const ArchiveContents& contents,
                              UpdateStaging& into, const InstalledApplication& installed, const std::string& version) {
  const std::filesystem::path candidate = into.directory() / contents.bundle;
  // Never prompts (-n keeps what exists), restores links and modes.
  runChild(kExtractionTool, {"-qq", "-n", archive.string(), "-d", into.directory().string()});

  requireIdentity(candidate, installed, version);
  requireValidSignature(candidate, installed);
  checkpoint();
  writeOutVolume(into.directory());

  // Folders are flushed after everything inside them, the candidate last.
  std::vector<std::string> folders = {candidate.string()};
  size_t flushed = 0;
  TreeWalk walk(openFolder(candidate.string(), false), true);
  while (const WalkEntry* entry = walk.next()) {
    if (entry->statError != 0) throwErrno(entry->statError, "lstat");
    if (entry->isDirectory()) {
      folders.push_back(candidate.string() + "/" + entry->path);
    } else if (entry->isRegularFile()) {
      flushFileAt(entry->parentFd, entry->name);
      if (++flushed % kFilesPerCheckpoint == 0) checkpoint();
    }
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) syncFile(*folder);

  syncFile(into.directory().string());
  syncFile(installed.parent.string());
  syncVolume((candidate / "Contents/Info.plist").string());
  return candidate;
}

}  // namespace mirelo::install
