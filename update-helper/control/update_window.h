#pragma once

// The foreground update session of `--run`: one object per process, held for the life of
// the process (delegate()), driven by the main loop on the main thread.
//
// It shows its progress window, builds the install transaction on one worker thread
// (adopting a prepared candidate, or extracting the archive), announces readiness with the
// "ready" file and then follows the phases that the desktop application writes into
// "phase": on "installing" it waits for the application's process to exit, swaps the new
// bundle in and relaunches it; on "complete" (or "cancel") it cleans up and ends. A
// deadline, started by ready(), bounds the wait from readiness to the confirmation.
// Every callback of the loop refers to the session weakly.

#include <sys/types.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/folder_watch.h"
#include "platform/main_loop.h"
#include "platform/process_exit_watch.h"
#include "update-helper/control/session_view.h"

namespace mirelo {

class AtomicInstall;

class UpdateWindow : public std::enable_shared_from_this<UpdateWindow> {
 public:
  UpdateWindow() = default;
  ~UpdateWindow();
  UpdateWindow(const UpdateWindow&) = delete;
  UpdateWindow& operator=(const UpdateWindow&) = delete;

  // The start-up: the SIGTERM watch, the window, the watch on the work directory, then the
  // background work when "native-install.json" exists, or ready() at once.
  void applicationDidFinishLaunching();
  // Whether the process may end now: only once the session has finished.
  bool applicationShouldTerminate() const { return finished_; }
  // The "Close" button of the expired window.
  void closeAfterFailure() { finish(); }

  void readPhase();
  void ready();
  // Ends the session; runs in full each time it is called.
  void finish();
  // Gives up: cleans up, writes the phase "expired", releases the work-directory lock and
  // shows the failure; the process stays until "Close" or SIGTERM.
  void expire();
  // Commits the transaction and relaunches the application, at most once.
  void replaceAndRelaunch();

  // Writes "failure.json" with `stage` and the error's reason and the matching event line.
  // Touches no field of the session, so the worker thread may call it. Never fails.
  static void recordFailure(const std::exception_ptr& error, const std::string& stage,
                            const std::optional<std::string>& version) noexcept;

  // The time from readiness to expiry: 300 seconds.
  static std::chrono::milliseconds deadlineDuration();

  // The one session of this process.
  static std::shared_ptr<UpdateWindow>& delegate();

 private:
  void startBackgroundWork();
  // The background work, on the worker thread: reads the request and builds the
  // transaction, then hands back to the main thread.
  static void backgroundWork(std::weak_ptr<UpdateWindow> weak, std::string directory, int heldLock);
  void backgroundWorkSucceeded(std::unique_ptr<AtomicInstall> install, std::string version);
  void backgroundWorkFailed();
  void cleanupStep();
  void deadlinePassed();
  // Asks the process to end; refused while the session has not finished.
  void terminate();
  void joinWorker();

  std::unique_ptr<SessionView> view_;
  std::optional<FolderWatch> watch_;
  MainLoop::Source source_;
  MainLoop::Source deadline_;
  bool finished_ = false;
  std::unique_ptr<AtomicInstall> install_;
  std::optional<ProcessExitWatch> parentExitWatch_;
  MainLoop::Source parentExit_;
  bool parentExitCreated_ = false;
  MainLoop::Source termination_;
  MainLoop::Source hangUp_;
  bool preparing_ = false;
  bool startupConfirmed_ = false;
  bool replacementStarted_ = false;
  std::optional<std::string> targetVersion_;
  std::thread worker_;
};

// The body of `--run` once the work directory's lock is held: creates the session, delivers
// its start-up on the main thread and runs the main loop until the session ends. Returns the
// exit code, 0.
int runForegroundSession();

}  // namespace mirelo
