#include "update-helper/control/update_window.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <nlohmann/json.hpp>

#include "platform/fs.h"
#include "update-helper/control/adopt_prepared.h"
#include "update-helper/control/failure_reason.h"
#include "update-helper/common/helper_process.h"
#include "update-helper/control/install_request.h"
#include "update-helper/eventlog/event_log.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {
namespace {

constexpr std::chrono::milliseconds kDeadline = std::chrono::seconds(300);

const std::string& workDirectory() { return helperProcess().directory; }

// The phase file holds one of a few short words; anything longer is none of them.
constexpr size_t kPhaseReadLimit = 64;

// The content of "phase", or nothing when it cannot be read. A named pipe or a folder in
// its place reads as nothing instead of blocking the session.
std::optional<std::string> readPhaseFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  std::string text;
  char buffer[kPhaseReadLimit + 1];
  while (text.size() <= kPhaseReadLimit) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// A text written for other processes to read: replaced in one rename, never seen partial.
void writeTextIgnoringFailure(const std::string& path, std::string_view text) noexcept {
  try {
    fs::writeFileAtomically(path, text);
  } catch (...) {
  }
}

// The event outcome of a failure at `stage`.
const char* outcomeOfStage(const std::string& stage) {
  if (stage == "preparing") return "update-preparation-failed";
  if (stage == "replacement-or-relaunch") return "update-relaunch-failed";
  return "update-cleanup-failed";
}

// The relaunch tool, installed beside this program.
std::string openTool() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "mirelo-open").string();
}

#ifdef MIRELO_TESTING_HOOKS
// A shorter deadline for the tests of the deadline itself, in milliseconds. Compiled only
// into builds with testing hooks; release packages have none.
std::optional<std::chrono::milliseconds> deadlineOverrideForTesting() {
  const char* text = std::getenv("MIRELO_SESSION_DEADLINE_MS_FOR_TESTING");
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || value < 0) return std::nullopt;
  return std::chrono::milliseconds(value);
}
#endif

}  // namespace

std::shared_ptr<UpdateWindow>& UpdateWindow::delegate() {
  static std::shared_ptr<UpdateWindow> session;
  return session;
}

UpdateWindow::~UpdateWindow() {
  // The worker touches no field of the session; let it finish on its own.
  if (worker_.joinable()) worker_.detach();
}

std::chrono::milliseconds UpdateWindow::deadlineDuration() {
#ifdef MIRELO_TESTING_HOOKS
  if (const auto shortened = deadlineOverrideForTesting()) return *shortened;
#endif
  return kDeadline;
}

void UpdateWindow::applicationDidFinishLaunching() {
  const std::weak_ptr<UpdateWindow> weak = weak_from_this();
  termination_ = MainLoop::onSignal(SIGTERM, [weak] {
    if (auto session = weak.lock()) session->finish();
  });

  // A hang-up (the user's session ending, a terminal closing) asks the process to end; like
  // any termination request it is refused until the session has finished.
  hangUp_ = MainLoop::onSignal(SIGHUP, [weak] {
    if (auto session = weak.lock()) session->terminate();
  });

  view_ = makeSessionView();
  view_->show();

  try {
    watch_.emplace(FolderWatch::open(workDirectory()));
  } catch (...) {
    finish();
    return;
  }
  source_ = MainLoop::onReadable(watch_->fd(), [weak] {
    auto session = weak.lock();
    if (!session || !session->watch_) return;
    if (session->watch_->drain()) session->readPhase();
  });

  struct stat request {};
  if (::stat((workDirectory() + "/native-install.json").c_str(), &request) == 0) {
    preparing_ = true;
    startBackgroundWork();
  } else {
    ready();
  }
}

void UpdateWindow::startBackgroundWork() {
  try {
    worker_ = std::thread(&UpdateWindow::backgroundWork, weak_from_this(), workDirectory(), helperProcess().fd);
  } catch (const std::system_error&) {
    // No thread could be made: the work fails like any other work that could not run.
    preparing_ = false;
    recordFailure(std::current_exception(), "preparing", std::nullopt);
    finish();
  }
}

void UpdateWindow::backgroundWork(std::weak_ptr<UpdateWindow> weak, std::string directory, int heldLock) {
  std::optional<std::string> version;
  try {
    const InstallRequest request = decodeInstallRequest(readWholeFile(directory + "/native-install.json"), &version);
    const std::filesystem::path target = request.target();
    std::unique_ptr<AtomicInstall> install;
    // A "prepared" that names this session's own directory would wait for the lock that
    // this process holds: proceed as if it were absent.
    if (request.prepared && !isOwnWorkDirectory(*request.prepared, heldLock)) {
      install = adoptPrepared(PreparedStore(*request.prepared), directory, target, request.version, request.pid);
    }
    if (!install) install = AtomicInstall::fromArchive(request.archive, target, request.version, request.pid);

    auto built = std::make_shared<std::unique_ptr<AtomicInstall>>(std::move(install));
    MainLoop::invoke([weak, built, version = request.version] {
      if (auto session = weak.lock()) {
        session->backgroundWorkSucceeded(std::move(*built), version);
        return;
      }
      try {
        (*built)->stagingOwner().cleanup(false);
      } catch (...) {
      }
    });
  } catch (...) {
    // A session that was asked to stop cancelled its work: that is not a failure to record.
    if (!ChildProcesses::shared().isCancelled() && weak.lock()) {
      recordFailure(std::current_exception(), "preparing", version);
    }
    MainLoop::invoke([weak] {
      if (auto session = weak.lock()) session->backgroundWorkFailed();
    });
  }
}

void UpdateWindow::joinWorker() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void UpdateWindow::backgroundWorkSucceeded(std::unique_ptr<AtomicInstall> install, std::string version) {
  joinWorker();
  preparing_ = false;
  install_ = std::move(install);
  targetVersion_ = std::move(version);
  if (finished_) {
    finish();
  } else {
    ready();
  }
}

void UpdateWindow::backgroundWorkFailed() {
  joinWorker();
  preparing_ = false;
  finish();
}

void UpdateWindow::readPhase() {
  if (finished_) return;
  const std::optional<std::string> phase = readPhaseFile(workDirectory() + "/phase");
  if (!phase) return;
  if (*phase == "installing") {
    if (view_) view_->setHeadline("Installing…");
    if (install_ && !parentExitCreated_) {
      parentExitCreated_ = true;
      const pid_t pid = install_->parentPID();
      try {
        parentExitWatch_.emplace(ProcessExitWatch::open(pid));
        const std::weak_ptr<UpdateWindow> weak = weak_from_this();
        parentExit_ = MainLoop::onReadable(parentExitWatch_->fd(), [weak] {
          if (auto session = weak.lock()) session->replaceAndRelaunch();
        });
      } catch (...) {
        // No watch (the process is gone already, say): the test below decides.
      }
      // The process may be gone already, so that no exit event will come.
      if (::kill(pid, 0) != 0 && errno == ESRCH) replaceAndRelaunch();
    }
  } else if (*phase == "complete") {
    startupConfirmed_ = true;
    finish();
  } else if (*phase == "cancel") {
    finish();
  }
}

void UpdateWindow::ready() {
  if (finished_) return;
  const std::weak_ptr<UpdateWindow> weak = weak_from_this();
  deadline_ = MainLoop::after(deadlineDuration(), [weak] {
    if (auto session = weak.lock()) session->deadlinePassed();
  });
  readPhase();
  if (!finished_) writeTextIgnoringFailure(workDirectory() + "/ready", "ready");
}

void UpdateWindow::cleanupStep() {
  if (!install_) return;
  try {
    install_->stagingOwner().cleanup(startupConfirmed_);
  } catch (...) {
    recordFailure(std::current_exception(), "cleanup", targetVersion_);
  }
}

void UpdateWindow::finish() {
  finished_ = true;
  deadline_.cancel();
  source_.cancel();
  parentExit_.cancel();
  if (preparing_) {
    // The work hands back and calls finish() again; until then, stop it at its next
    // checkpoint instead of letting it build a transaction that nobody will install.
    ChildProcesses::shared().cancel();
    return;
  }
  cleanupStep();
  termination_.cancel();
  // From here to the end of the process SIGTERM is ignored, not fatal.
  ::signal(SIGTERM, SIG_IGN);
  ::flock(helperProcess().fd, LOCK_UN);
  terminate();
}

void UpdateWindow::expire() {
  if (finished_) return;
  deadline_.cancel();
  parentExit_.cancel();
  cleanupStep();
  writeTextIgnoringFailure(workDirectory() + "/phase", "expired");
  ::flock(helperProcess().fd, LOCK_UN);
  if (view_) {
    view_->setHeadline("Update has not finished");
    view_->setDetail("Close this window and reopen Mirelo to retry.");
    view_->hideProgress();
    const std::weak_ptr<UpdateWindow> weak = weak_from_this();
    view_->addCloseButton([weak] {
      if (auto session = weak.lock()) session->closeAfterFailure();
    });
  }
  finished_ = true;
}

void UpdateWindow::replaceAndRelaunch() {
  if (finished_ || replacementStarted_ || !install_) return;
  replacementStarted_ = true;
  bool exitObserved = false;
  if (parentExitWatch_) {
    exitObserved = parentExitWatch_->exited();
    parentExit_.cancel();
  }
  try {
    install_->commit(exitObserved);
    AtomicInstall::run(openTool(), {"-n", install_->target().string()});
  } catch (...) {
    recordFailure(std::current_exception(), "replacement-or-relaunch", targetVersion_);
    expire();
  }
}

void UpdateWindow::deadlinePassed() {
  if (finished_) return;
  noteOutcome("update-expired", targetVersion_, replacementStarted_ ? "awaiting-startup" : "awaiting-install");
  expire();
}

void UpdateWindow::recordFailure(const std::exception_ptr& error, const std::string& stage,
                                 const std::optional<std::string>& version) noexcept {
  try {
    const std::string reason = failureReason(error);
    writeTextIgnoringFailure(workDirectory() + "/failure.json",
                             nlohmann::json{{"stage", stage}, {"reason", reason}}.dump());
    noteOutcome(outcomeOfStage(stage), version, stage, reason);
  } catch (...) {
  }
}

void UpdateWindow::terminate() {
  if (applicationShouldTerminate()) MainLoop::quit();
}

int runForegroundSession() {
  // The loop restores SIGTERM's default action when the last of its sources for the signal
  // goes away, which for the session's own source happens after the dispatch that ended the
  // session: a second SIGTERM would then kill the ending process instead of being ignored.
  MainLoop::keepSignalCaught(SIGTERM);
  UpdateWindow::delegate() = std::make_shared<UpdateWindow>();
  MainLoop::invoke([] { UpdateWindow::delegate()->applicationDidFinishLaunching(); });
  MainLoop::run();
  return 0;
}

}  // namespace mirelo
