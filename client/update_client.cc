#include "client/update_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "client/client_error.h"
#include "client/files.h"
#include "platform/errno_error.h"
#include "platform/unique_fd.h"

namespace mirelo::client {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kPollInterval = 100ms;
// How often the wait for the ready file looks; the helper writes it once.
constexpr auto kReadyPollInterval = 20ms;

// Names the client keeps in the parent folder beside the work directories and the log.
constexpr char kClientLock[] = "client.lock";
constexpr char kSessionLock[] = "session.lock";
constexpr char kRemovingPrefix[] = ".removing-";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

[[noreturn]] void usage(const std::string& message) { throw ClientError(ClientError::Kind::kUsage, message); }

// An flock on one of the client's lock files in the parent folder, held for the object's life.
class FolderLock {
 public:
  // Blocks until the lock is taken when `wait`, else gives up at once: then !held().
  FolderLock(const fs::path& file, int operation, bool wait) {
    fd_.reset(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_) throwErrno("open lock file");
    while (::flock(fd_.get(), operation | (wait ? 0 : LOCK_NB)) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK && !wait) {
        fd_.reset();
        return;
      }
      throwErrno("flock");
    }
  }
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};

// The names in a folder, without "." and "..", read through a descriptor.
std::vector<std::string> entriesOf(int dirFd) {
  const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) throwErrno("dup");
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    const int error = errno;
    ::close(copy);
    throwErrno(error, "fdopendir");
  }
  ::rewinddir(dir);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> entriesOf(const fs::path& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) throwErrno("open folder");
  return entriesOf(fd.get());
}

// Empties the folder open as `dirFd`, never following a link: a folder inside is opened
// relative to its parent's descriptor with O_NOFOLLOW, so a folder swapped for a link midway
// is not walked through. Returns false when something could not be removed.
bool removeContents(int dirFd) {
  bool complete = true;
  for (const std::string& name : entriesOf(dirFd)) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR) {
      complete = false;
      continue;
    }
    UniqueFd inner(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner || !removeContents(inner.get()) || ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
      complete = false;
    }
  }
  return complete;
}

bool readyIn(const fs::path& directory) { return readSmallFile(directory / "ready", 16) == "ready"; }

void putPhase(const fs::path& directory, std::string_view phase) {
  replaceFile(directory, "phase", std::string(phase));
}

bool isPhaseWord(std::string_view phase) { return phase == "installing" || phase == "complete" || phase == "cancel"; }

fs::path withoutTrailingSlash(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (normal.filename().empty() && normal.has_parent_path()) normal = normal.parent_path();
  return normal;
}

// The files the helper and the client leave in a work directory.
bool isWorkFile(const std::string& name) {
  static const std::set<std::string> kKnown = {"active.lock", "request.json",  "claim.json",          "prepared.json",
                                               "adopted.json", "failure.json", "native-install.json", "phase",
                                               "ready"};
  return kKnown.count(name) > 0 || startsWith(name, ".pending-");
}

}  // namespace

void InstallSession::announceInstalling() {
  if (waitForHelper(0ms)) throw ClientError(ClientError::Kind::kHelperFailed, "The update session has already ended");
  putPhase(directory_, "installing");
}

void InstallSession::cancel() {
  if (!waitForHelper(0ms)) putPhase(directory_, "cancel");
}

UpdateClient::UpdateClient(fs::path helper, fs::path parent)
    : helper_(std::move(helper)), parent_(withoutTrailingSlash(parent)) {}

void UpdateClient::setUp(const fs::path& executable) const {
  if (!parent_.is_absolute() || !executable.is_absolute()) usage("The work folder and the executable must be absolute paths");
  if (::mkdir(parent_.c_str(), 0700) == 0) {
    // The mode asked of mkdir is cut by the umask; the folder must have exactly 0700.
    if (::chmod(parent_.c_str(), 0700) != 0) throwErrno("chmod");
  } else if (errno != EEXIST) {
    throwErrno("mkdir");
  }
  if (!isRealFolder(parent_)) {
    throw ClientError(ClientError::Kind::kNotAWorkFolder, parent_.string() + " is not a folder");
  }
  const fs::path applicationFolder = executable.parent_path().parent_path().parent_path().parent_path();
  struct stat app {}, work {};
  if (::stat(applicationFolder.c_str(), &app) != 0) throwErrno("stat application folder");
  if (::lstat(parent_.c_str(), &work) != 0) throwErrno("lstat work folder");
  if (app.st_dev != work.st_dev) {
    throw ClientError(ClientError::Kind::kWrongVolume, "The work folder " + parent_.string() +
                                                           " is not on the volume of the application folder " +
                                                           applicationFolder.string());
  }
}

fs::path UpdateClient::createWorkDirectory(std::string_view purpose) const {
  const bool plain = !purpose.empty() && std::all_of(purpose.begin(), purpose.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
  if (!plain) usage("A work directory's purpose is made of a-z, 0-9 and -");
  const fs::path directory = parent_ / (std::string(purpose) + "-" + newUuid());
  if (::mkdir(directory.c_str(), 0700) != 0) throwErrno("mkdir");
  if (::chmod(directory.c_str(), 0700) != 0) throwErrno("chmod");
  return directory;
}

void UpdateClient::requireWorkDirectory(const fs::path& directory) const {
  const fs::path normal = withoutTrailingSlash(directory);
  if (!isRealFolder(normal)) {
    throw ClientError(ClientError::Kind::kNotAWorkFolder, directory.string() + " is not a folder");
  }
  // The helper writes its event log beside the work directory; the client reads it from the
  // parent folder, so that is where every work directory must be.
  const auto parentIdentity = identityOf(parent_);
  if (!parentIdentity || identityOf(normal.parent_path()) != parentIdentity) {
    throw ClientError(ClientError::Kind::kNotAWorkFolder,
                      directory.string() + " is not a work directory in " + parent_.string());
  }
}

Probe UpdateClient::probe(const fs::path& directory) const {
  requireWorkDirectory(directory);
  switch (runHelper(helper_, "--probe", directory)) {
    case 0:
      return Probe::kBusy;
    case 1:
      return Probe::kFree;
    default:
      return Probe::kError;
  }
}

PrepareOutcome UpdateClient::prepare(const fs::path& directory, const PrepareRequest& request, std::stop_token stop,
                                     const WaitObserver& observer) const {
  requireWorkDirectory(directory);
  FolderLock client(parent_ / kClientLock, LOCK_SH, true);
  PrepareOutcome outcome;
  // A running preparation has read its request already; replacing it now would only leave a
  // request that does not describe what is being prepared.
  if (probe(directory) == Probe::kBusy) {
    outcome.kind = PrepareOutcome::Kind::kBusy;
    return outcome;
  }
  replaceFile(directory, "request.json", encodeRequest(request));

  HelperProcess helper = HelperProcess::start(helper_, "--prepare", directory);
  const auto started = Clock::now();
  bool terminated = false;
  std::optional<int> code;
  while (!(code = helper.waitFor(kPollInterval))) {
    if (stop.stop_requested() && !terminated) {
      helper.signal(SIGTERM);
      terminated = true;
    }
    if (observer) observer(Clock::now() - started);
  }

  switch (*code) {
    case 0:
      outcome.prepared = readPrepared(directory / "prepared.json");
      if (!outcome.prepared) {
        throw ClientError(ClientError::Kind::kHelperFailed, "The update helper reported success but left no usable prepared.json");
      }
      outcome.kind = PrepareOutcome::Kind::kPrepared;
      return outcome;
    case 1:
    case 4:
      outcome.kind = *code == 1 ? PrepareOutcome::Kind::kFailed : PrepareOutcome::Kind::kNoSpace;
      outcome.failure = readFailure(directory);
      return outcome;
    case 2:
      // An unusable request leaves its reason; a refused command line or lock file leaves none.
      outcome.failure = readFailure(directory);
      if (!outcome.failure) {
        throw ClientError(ClientError::Kind::kHelperFailed,
                          "The update helper refused the work directory " + directory.string() + " (exit code 2)");
      }
      outcome.kind = PrepareOutcome::Kind::kFailed;
      return outcome;
    case 3:
      outcome.kind = PrepareOutcome::Kind::kBusy;
      return outcome;
    case 5:
      outcome.kind = PrepareOutcome::Kind::kCancelled;
      return outcome;
    default:
      throw ClientError(ClientError::Kind::kHelperFailed,
                        *code > 128 ? "The update helper was killed by signal " + std::to_string(*code - 128)
                                    : "The update helper ended with the unknown code " + std::to_string(*code));
  }
}

DiscardOutcome UpdateClient::discard(const fs::path& directory) const {
  requireWorkDirectory(directory);
  const int code = runHelper(helper_, "--discard", directory);
  if (code == 0) return DiscardOutcome::kDone;
  if (code == 3) return DiscardOutcome::kBusy;
  throw ClientError(ClientError::Kind::kHelperFailed,
                    "The update helper could not discard in " + directory.string() + " (exit code " +
                        std::to_string(code) + ")");
}

InstallOutcome UpdateClient::install(const fs::path& directory, const InstallRequest& request,
                                     std::chrono::milliseconds readyLimit, std::stop_token stop,
                                     const WaitObserver& observer) const {
  requireWorkDirectory(directory);
  if (request.prepared) {
    // The session holds its own directory's lock and would wait for it for ever.
    requireWorkDirectory(*request.prepared);
    if (identityOf(withoutTrailingSlash(*request.prepared)) == identityOf(withoutTrailingSlash(directory))) {
      usage("The preparation directory must not be the session directory");
    }
  }
  // Every file of an earlier session would be misread by this one: a phase, a ready file, a
  // failure record.
  for (const std::string& name : entriesOf(directory)) {
    if (name != "active.lock") usage("The session directory " + directory.string() + " has been used before");
  }

  FolderLock client(parent_ / kClientLock, LOCK_SH, true);
  FolderLock starting(parent_ / kSessionLock, LOCK_EX, false);
  InstallOutcome outcome;
  outcome.kind = InstallOutcome::Kind::kBusy;
  // Another instance is starting a session right now.
  if (!starting.held()) return outcome;
  // Or one runs already: its helper holds the lock of a session directory.
  UniqueFd parentFd(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parentFd) throwErrno("open work folder");
  for (const std::string& name : entriesOf(parentFd.get())) {
    const fs::path other = parent_ / name;
    if (startsWith(name, ".") || !isRealFolder(other) || !identityOf(other / "native-install.json")) continue;
    if (probe(other) == Probe::kBusy) return outcome;
  }

  replaceFile(directory, "native-install.json", encodeRequest(request));
  HelperProcess helper = HelperProcess::start(helper_, "--run", directory, /*detached=*/true);
  const auto started = Clock::now();
  auto lastReport = started;
  for (;;) {
    if (readyIn(directory)) {
      outcome.kind = InstallOutcome::Kind::kReady;
      outcome.session.emplace(directory, std::move(helper));
      return outcome;
    }
    if (const auto code = helper.waitFor(kReadyPollInterval)) {
      if (*code == 0) {
        // A session that fails to build its install transaction records why and ends.
        outcome.kind = InstallOutcome::Kind::kFailed;
        outcome.failure = readFailure(directory);
        return outcome;
      }
      throw ClientError(ClientError::Kind::kHelperFailed,
                        "The update session ended with code " + std::to_string(*code) + " before it was ready");
    }
    const auto now = Clock::now();
    const bool timedOut = now - started >= readyLimit;
    if (timedOut || stop.stop_requested()) {
      // SIGTERM ends the session once its background work is done; it removes what it made.
      helper.signal(SIGTERM);
      outcome.kind = timedOut ? InstallOutcome::Kind::kTimedOut : InstallOutcome::Kind::kCancelled;
      return outcome;
    }
    if (observer && now - lastReport >= kPollInterval) {
      observer(now - started);
      lastReport = now;
    }
  }
}

void UpdateClient::writePhase(const fs::path& session, std::string_view phase) const {
  if (!isPhaseWord(phase)) usage("The phase is one of installing, complete and cancel");
  requireWorkDirectory(session);
  if (!readyIn(session) || probe(session) != Probe::kBusy) {
    usage("No update session is ready and running in " + session.string());
  }
  putPhase(session, phase);
}

std::optional<fs::path> UpdateClient::findWaitingSession(const fs::path& executable, const std::string& version) const {
  std::error_code error;
  const fs::path ours = fs::weakly_canonical(executable, error);
  std::optional<fs::path> found;
  fs::file_time_type newest{};
  UniqueFd parentFd(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parentFd) return std::nullopt;
  for (const std::string& name : entriesOf(parentFd.get())) {
    const fs::path session = parent_ / name;
    if (startsWith(name, ".") || !isRealFolder(session)) continue;
    const auto request = readInstallRequest(session);
    if (!request || request->version != version) continue;
    if (fs::weakly_canonical(request->executable, error) != ours) continue;
    if (!readyIn(session) || readSmallFile(session / "phase", 64) != "installing") continue;
    if (probe(session) != Probe::kBusy) continue;
    const auto when = fs::last_write_time(session / "ready", error);
    if (!found || when > newest) {
      found = session;
      newest = when;
    }
  }
  return found;
}

bool UpdateClient::confirmStartup(const fs::path& executable, const std::string& version,
                                  std::string_view phase) const {
  if (phase != "complete" && phase != "cancel") usage("A relaunched application confirms with complete or cancel");
  const auto session = findWaitingSession(executable, version);
  if (!session) return false;
  putPhase(*session, phase);
  return true;
}

CleanReport UpdateClient::clean(const std::set<fs::path>& keep) const {
  CleanReport report;
  FolderLock client(parent_ / kClientLock, LOCK_EX, false);
  if (!client.held()) {
    report.skipped = true;
    return report;
  }
  std::set<std::pair<dev_t, ino_t>> kept;
  for (const fs::path& path : keep) {
    if (auto identity = identityOf(withoutTrailingSlash(path))) kept.insert({identity->device, identity->inode});
  }

  UniqueFd parentFd(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!parentFd) throwErrno("open work folder");
  for (const std::string& name : entriesOf(parentFd.get())) {
    const fs::path path = parent_ / name;
    UniqueFd dir(::openat(parentFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) continue;  // a file (the log, a lock) or a link: not a work directory
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0) continue;

    // What an interrupted clean renamed away is ours to finish; no helper can know the name.
    if (startsWith(name, kRemovingPrefix)) {
      if (removeContents(dir.get()) && ::unlinkat(parentFd.get(), name.c_str(), AT_REMOVEDIR) == 0) {
        report.removed.push_back(path);
      } else {
        report.kept.push_back(path);
      }
      continue;
    }
    if (startsWith(name, ".") || kept.count({info.st_dev, info.st_ino})) {
      report.kept.push_back(path);
      continue;
    }

    // Hold the directory's own lock: while it is held no helper can start on it, and one
    // that holds it now is working there.
    UniqueFd lock(::openat(dir.get(), "active.lock", O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      // No lock file: no helper has run here (a directory just created for a job), or the
      // directory is not ours. Either way it stays.
      report.kept.push_back(path);
      continue;
    }
    const std::vector<std::string> names = entriesOf(dir.get());
    const auto has = [&](const char* file) { return std::binary_search(names.begin(), names.end(), file); };
    if (!std::all_of(names.begin(), names.end(), isWorkFile)) {
      report.kept.push_back(path);
      continue;
    }
    const bool session = has("native-install.json") || has("ready") || has("phase") || has("adopted.json");
    if (!session && (has("prepared.json") || has("claim.json"))) {
      // A prepared update waits here, or a staging folder that a later discard must remove.
      bool tidied = false;
      for (const std::string& entry : names) {
        if ((entry == "request.json" || startsWith(entry, ".pending-")) && ::unlinkat(dir.get(), entry.c_str(), 0) == 0) {
          tidied = true;
        }
      }
      (tidied ? report.tidied : report.kept).push_back(path);
      continue;
    }

    // Finished. Move it out of the way first, so that no helper started on its old name can
    // find it half-removed, then prove the moved entry is still the folder held open.
    const std::string removing = kRemovingPrefix + newUuid();
    if (::renameat2(parentFd.get(), name.c_str(), parentFd.get(), removing.c_str(), RENAME_NOREPLACE) != 0) {
      report.kept.push_back(path);
      continue;
    }
    if (identityOf(parent_ / removing) != FileIdentity{info.st_dev, info.st_ino}) {
      // Something else took the name between the open and the rename: give it back.
      ::renameat2(parentFd.get(), removing.c_str(), parentFd.get(), name.c_str(), RENAME_NOREPLACE);
      report.kept.push_back(path);
      continue;
    }
    if (removeContents(dir.get()) && ::unlinkat(parentFd.get(), removing.c_str(), AT_REMOVEDIR) == 0) {
      report.removed.push_back(path);
    } else {
      report.kept.push_back(parent_ / removing);
    }
  }
  return report;
}

}  // namespace mirelo::client
