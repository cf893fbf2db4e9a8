#pragma once

// The file-system layer of the update helper on Linux: volume facts, whole-volume flushes,
// renames that refuse to replace or that exchange, a tree removal that never follows a
// symbolic link, the one crash-safe file writer and the one small-file read (walks are
// platform/tree.h, path text is platform/path_text.h). Every failure is a std::system_error carrying the errno of the
// call that failed (platform/errno_error.h); nothing here prints.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/unique_fd.h"

namespace mirelo::fs {

// What statfs reports about the volume that holds a path.
struct VolumeInfo {
  // The file-system type (statfs f_type).
  int64_t type = 0;
  // The unit in which `blocksAvailable` counts (f_frsize, or f_bsize where that is 0).
  uint64_t blockSize = 0;
  // Blocks available to an unprivileged user (f_bavail).
  uint64_t blocksAvailable = 0;
};

// statfs on `path` (links followed). Throws the errno of statfs.
VolumeInfo inspectVolume(const std::string& path);

// Whether a volume of this statfs f_type can hold an update: a local file system whose
// renames are atomic and that supports exchanging two entries (ext2/3/4, xfs, btrfs, f2fs,
// tmpfs). Network, FUSE, overlay, FAT-family and pseudo file systems are not.
bool isAtomicExchangeVolume(int64_t type);

// Forces everything written to the file system that holds `fd` out to stable storage
// (syncfs). Throws the errno of syncfs.
void flushVolume(int fd);

// Renames `from` to `to`, failing with EEXIST when `to` exists (renameat2 RENAME_NOREPLACE).
void renameNoReplace(const std::string& from, const std::string& to);
// Exchanges the entries `a` and `b` atomically; both must exist on one file system
// (renameat2 RENAME_EXCHANGE).
void renameExchange(const std::string& a, const std::string& b);

// lstat that reports failure through its result: the errno, or 0 with `status` filled in.
int lstatPath(const std::string& path, struct stat* status) noexcept;

// The identity of a file: device and inode, as lstat reports them, compared in full.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Removes the folder `path` and everything in it without ever following a symbolic link:
// each folder is opened with O_NOFOLLOW | O_DIRECTORY and its entries are removed with
// unlinkat relative to that descriptor, so a folder swapped for a link midway is never
// walked through; a link inside is removed itself. When `expected` is given, the opened
// folder must have that identity, or nothing is removed and the call fails with ESTALE.
// Folders on another device (mount points) are not descended into and fail the removal
// with EXDEV. A folder of the caller's own that denies its owner any access (mode 000 or
// 0500 from an archive) gets full owner access back before it is opened and emptied,
// through a descriptor that pins it, so whatever the helper extracted can always be
// removed. Removal goes on past a failed entry and throws the first error at the end; a
// path that does not exist throws ENOENT, one that names a link or a file throws ENOTDIR
// and nothing is removed.
// Holds one descriptor per level of nesting, so a tree nested deeper than the descriptor
// limit fails with EMFILE and stays in part.
void removeTree(const std::string& path, const std::optional<FileIdentity>& expected = std::nullopt);

// The one crash-safe replacement of a file. A reader sees either the old file, no file or
// the complete new one: the bytes go to a new temporary file in the same folder (created
// exclusively, never through a link), which is flushed, renamed over the destination, and
// the folder is flushed too (opened by its path, never through a final link). The temporary
// file is removed on every failure before the rename; a failure of the last folder flush is
// reported although the new file is already in place.
struct AtomicWriteOptions {
  // The temporary file's name is this prefix and a new UUID; when empty, it is
  // "." + the destination's name + "." + UUID + ".tmp".
  std::string temporaryPrefix;
  // The new file's permission bits, filtered by the umask as for open(2)...
  mode_t mode = 0666;
  // ...or exactly these bits, whatever the umask.
  bool exactMode = false;
};

// The step at which writeFileAtomically failed, with the errno of the failed call.
class AtomicWriteError : public std::system_error {
 public:
  enum class Step {
    kWrite,        // the folder, the temporary file, its mode or its bytes: nothing changed
    kFlushFile,    // fsync of the temporary file, which is removed again: nothing changed
    kRename,       // the rename over the destination, temporary file removed: nothing changed
    kOpenFolder,   // opening the folder for its flush: the new file is in place
    kFlushFolder,  // fsync of the folder: the new file is in place
  };
  AtomicWriteError(Step step, int error, const char* operation)
      : std::system_error(error, std::generic_category(), operation), step_(step) {}
  Step step() const noexcept { return step_; }

 private:
  Step step_;
};

// Replaces the file `path` with `data` as described above. Throws AtomicWriteError.
void writeFileAtomically(const std::string& path, std::string_view data, const AtomicWriteOptions& options);
// The same with a temporary name of the default form and `mode` filtered by the umask.
void writeFileAtomically(const std::string& path, std::string_view data, mode_t mode = 0666);

// Reads the whole of the regular file `path` if it holds at most `limit` bytes. The final
// component is never followed (ELOOP for a link), and nothing but a regular file is opened:
// lstat is asked first and the opened file must still be that very file (EINVAL for any
// other kind, or when the entry was swapped in between). A file larger than `limit`, also
// one that grows past it while being read, fails with EFBIG. Opened non-blocking, so a named
// pipe can never stall the caller. Throws std::system_error with the errno otherwise.
std::string readSmallFile(const std::string& path, size_t limit);

// Opens `path` read-only without following a final link (O_NOFOLLOW, non-blocking so that a
// named pipe cannot stall the caller). Throws the errno of open.
UniqueFd openNoFollow(const std::string& path);

}  // namespace mirelo::fs
