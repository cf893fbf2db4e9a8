#include "update-helper/install/extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
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

const char kFolderChanged[] = "Update folder identity changed";
const char kInvalidArchive[] = "Invalid update archive";
const char kUnsafeEntry[] = "Unsafe archive entry";
const char kIdentityMismatch[] = "Update identity mismatch";

// Beyond what the entries declare, this much more may be written before a lying archive
// is looked at more closely (folders, and blocks that files do not fill).
constexpr uint64_t kWriteSlack = 64u << 20;

// The staging folder, opened and proved to be the folder that `into` created.
UniqueFd openStaging(const UpdateStaging& into) {
  UniqueFd fd;
  try {
    fd = openFolder(into.directory().string(), false);
  } catch (const std::system_error&) {
    throw InstallFailure::invalid(kFolderChanged);
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0 || static_cast<uint64_t>(status.st_ino) != into.inode() ||
      static_cast<int32_t>(status.st_dev) != into.device()) {
    throw InstallFailure::invalid(kFolderChanged);
  }
  return fd;
}

// The staging folder's path must still name the folder that was extracted into.
void requireStagingIdentity(const UpdateStaging& into) {
  struct stat status;
  if (fs::lstatPath(into.directory().string(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      static_cast<uint64_t>(status.st_ino) != into.inode() || static_cast<int32_t>(status.st_dev) != into.device()) {
    throw InstallFailure::invalid(kFolderChanged);
  }
}

uint64_t availableBytes(int folderFd) {
  struct statfs info {};
  if (::fstatfs(folderFd, &info) != 0) throwErrno("fstatfs");
  const uint64_t block = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(info.f_bavail), block, &bytes)) return UINT64_MAX;
  return bytes;
}

// The bytes that the files and links below `folderFd` hold.
uint64_t writtenBytes(int folderFd) {
  UniqueFd root(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throwErrno("openat");
  uint64_t total = 0;
  TreeWalk walk(std::move(root), true);
  while (const WalkEntry* entry = walk.next()) {
    if (entry->statError == 0 && !entry->isDirectory()) total += static_cast<uint64_t>(entry->status.st_size);
  }
  return total;
}

// Watches an extraction while unzip runs: it stops when the volume's free space falls below
// the reserve, or when more is written than the archive declared (a size that lies makes
// unzip inflate an entry far past it). Free space is read cheaply each time; the written
// bytes are counted only once the volume has lost more than the declared total.
class ExtractionWatch {
 public:
  // On a volume that had less than twice the reserve free to begin with (an install built
  // from an archive checks no space first), the floor is half of what was free.
  ExtractionWatch(int stagingFd, uint64_t declared)
      : stagingFd_(stagingFd), declared_(declared), startAvailable_(availableBytes(stagingFd)),
        floor_(std::min<uint64_t>(kSpaceReserve, startAvailable_ / 2)) {}

  void operator()() const {
    const uint64_t available = availableBytes(stagingFd_);
    if (available < floor_) throw InstallFailure::noSpace();
    const uint64_t used = startAvailable_ > available ? startAvailable_ - available : 0;
    if (used > declared_ && used - declared_ > kWriteSlack && writtenBytes(stagingFd_) > declared_) {
      throw InstallFailure::invalid(kInvalidArchive);
    }
  }

 private:
  int stagingFd_;
  uint64_t declared_;
  uint64_t startAvailable_;
  uint64_t floor_;
};

// Pieces of an entry name, as unzip places it: empty pieces and "." dropped.
std::string normalised(std::string_view name) {
  std::string result;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) slash = name.size();
    std::string_view piece = name.substr(start, slash - start);
    if (!piece.empty() && piece != ".") {
      if (!result.empty()) result += '/';
      result += piece;
    }
    start = slash + 1;
  }
  return result;
}

// What unzip made must be what the inspection saw: the inspected bundle, and below it only
// files, folders and the links that the listing declared (a link that the listing hid
// would otherwise go unchecked by the archive rules).
void requireListedShape(int stagingFd, const std::string& bundle, const ArchiveListing* listed) {
  UniqueFd root;
  try {
    root = openBeneath(stagingFd, bundle, O_RDONLY | O_DIRECTORY);
  } catch (const std::system_error&) {
    // Without the inspected bundle there is no candidate whose identity could be shown.
    throw InstallFailure::invalid(kIdentityMismatch);
  }
  std::set<std::string> links;
  if (listed) {
    for (const std::string& link : listed->links) links.insert(normalised(link));
  }
  TreeWalk walk(std::move(root), false);
  while (const WalkEntry* entry = walk.next()) {
    if (entry->statError != 0) throwErrno(entry->statError, "lstat");
    if (entry->isLink()) {
      if (listed && links.count(bundle + "/" + entry->path) == 0) throw InstallFailure::invalid(kUnsafeEntry);
    } else if (!entry->isDirectory() && !entry->isRegularFile()) {
      throw InstallFailure::invalid(kUnsafeEntry);
    }
  }
}

}  // namespace

std::filesystem::path extract(const std::filesystem::path& archive, const ArchiveContents& contents,
                              UpdateStaging& into, const InstalledApplication& installed, const std::string& version) {
  const std::filesystem::path candidate = into.directory() / contents.bundle;
  const OpenedArchive opened = openArchive(archive);
  if (contents.listed && !(contents.listed->archive == opened.fingerprint)) {
    throw InstallFailure::invalid(kInvalidArchive);
  }
  // unzip works in the staging folder itself, by descriptor, with a relative destination:
  // whoever can rename entries of the applications folder cannot redirect it.
  const UniqueFd staging = openStaging(into);
  ChildOptions options;
  options.workingFolderFd = staging.get();
  options.watch = ExtractionWatch(staging.get(), contents.bytes);
  // Never prompts (-n keeps what exists), restores links and modes.
  runChild(kExtractionTool, {"-qq", "-n", opened.toolPath, "-d", "."}, options);
  requireListedShape(staging.get(), contents.bundle, contents.listed ? &*contents.listed : nullptr);

  requireStagingIdentity(into);
  requireIdentity(candidate, installed, version);
  requireStagingIdentity(into);
  requireValidSignature(candidate, installed);
  checkpoint();
  requireStagingIdentity(into);
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

  requireStagingIdentity(into);
  syncFile(into.directory().string());
  syncFile(installed.parent.string());
  syncVolume((candidate / "Contents/Info.plist").string());
  return candidate;
}

}  // namespace mirelo::install
