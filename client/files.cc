#include "client/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>

#include "platform/errno_error.h"
#include "platform/unique_fd.h"

namespace mirelo::client {

namespace fs = std::filesystem;

std::string newUuid() {
  uuid_t value;
  uuid_generate_random(value);
  char text[37];
  uuid_unparse_lower(value, text);
  return text;
}

namespace {

void writeAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void replaceFile(const fs::path& folder, const std::string& name, const std::string& content) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) throwErrno("open folder");
  const std::string temporary = ".pending-" + newUuid();
  UniqueFd file(::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) throwErrno("create temporary file");
  try {
    writeAll(file.get(), content);
    if (::fsync(file.get()) != 0) throwErrno("fsync");
    file.reset();
    if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0) throwErrno("rename");
  } catch (...) {
    ::unlinkat(dir.get(), temporary.c_str(), 0);
    throw;
  }
  // Sync the rename, too.
  if (::fsync(dir.get()) != 0) throwErrno("fsync folder");
}

std::optional<std::string> readSmallFile(const fs::path& path, size_t limit) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (static_cast<unsigned long long>(info.st_size) > limit) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
    // A file that grows while it is read is held to the same limit.
    if (content.size() > limit) return std::nullopt;
  }
  return content;
}

std::optional<FileIdentity> identityOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

bool isRealFolder(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace mirelo::client
