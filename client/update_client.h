#pragma once

// The desktop application's side of the update helper, as a few calls. The client speaks to
// mirelo-update-helper only as an application does: through files in work directories, exit
// codes and signals.
//
//   UpdateClient client(helper, parent);
//   client.setUp(executable);
//   auto job = client.createWorkDirectory("prepare");
//   auto prepared = client.prepare(job, {archive, executable, "3.2.0", "stable-3.2.0"});
//   ... later, when the user agrees to install:
//   auto session = client.createWorkDirectory("install");
//   auto started = client.install(session, {archive, executable, "3.2.0", getpid(), job}, 10min);
//   started.session->announceInstalling();  // then quit
//   ... in the relaunched application, at start-up:
//   client.confirmStartup(executable, "3.2.0");
//
// Locking: every work directory lives directly in the parent folder, which also holds the
// helper's event log and two lock files of the client. "client.lock" is held shared by
// prepare() and install() for as long as they run and exclusively by clean(), so that
// housekeeping never removes a directory an operation is about to hand to the helper;
// "session.lock" makes checking for a running session and starting one a single step, so
// that two application instances cannot both start a session.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "client/helper_process.h"
#include "client/records.h"

namespace mirelo::client {

enum class Probe { kBusy, kFree, kError };

struct PrepareOutcome {
  enum class Kind { kPrepared, kFailed, kNoSpace, kBusy, kCancelled };
  Kind kind = Kind::kFailed;
  std::optional<PreparedRecord> prepared;  // kPrepared
  std::optional<Failure> failure;          // kFailed, kNoSpace: what the helper recorded
};

enum class DiscardOutcome { kDone, kBusy };

// A foreground session that has written its ready file: the application announces that it
// is about to quit, and quits.
class InstallSession {
 public:
  InstallSession(std::filesystem::path directory, HelperProcess helper)
      : directory_(std::move(directory)), helper_(std::move(helper)) {}

  const std::filesystem::path& directory() const { return directory_; }
  pid_t helperPid() const { return helper_.pid(); }
  // Writes "installing" into the phase file; the application must quit next.
  // Throws ClientError (kHelperFailed) when the helper has already ended.
  void announceInstalling();
  // Abandons the session: writes "cancel".
  void cancel();
  // Ends the session with SIGTERM, also one that has expired and no longer reads phases.
  void terminate() const { helper_.signal(SIGTERM); }
  // The helper's exit code once it has ended, waiting at most `limit`.
  std::optional<int> waitForHelper(std::chrono::milliseconds limit) { return helper_.waitFor(limit); }

 private:
  std::filesystem::path directory_;
  HelperProcess helper_;
};

struct InstallOutcome {
  enum class Kind { kReady, kFailed, kBusy, kTimedOut, kCancelled };
  Kind kind = Kind::kFailed;
  std::optional<InstallSession> session;  // kReady
  std::optional<Failure> failure;         // kFailed, when the helper recorded why
};

// What clean() did with each directory of the parent folder.
struct CleanReport {
  std::vector<std::filesystem::path> removed;  // finished work directories, gone
  std::vector<std::filesystem::path> kept;     // in use, holding a prepared update, or not ours
  std::vector<std::filesystem::path> tidied;   // kept, with request.json or ".pending-" debris removed
  bool skipped = false;                        // another client operation was running: nothing done
};

// Called about ten times a second while an operation waits for the helper.
using WaitObserver = std::function<void(std::chrono::steady_clock::duration elapsed)>;

class UpdateClient {
 public:
  UpdateClient(std::filesystem::path helper, std::filesystem::path parent);

  const std::filesystem::path& parent() const { return parent_; }

  // Creates the parent folder (mode 0700) when missing and requires it to be a real folder
  // on the same volume as the folder of the installed application, the bundle that holds
  // `executable` (Contents/MacOS/<name>).
  void setUp(const std::filesystem::path& executable) const;
  // A new, empty work directory "<purpose>-<UUID>" (mode 0700) in the parent folder.
  std::filesystem::path createWorkDirectory(std::string_view purpose) const;

  Probe probe(const std::filesystem::path& directory) const;

  // Writes request.json and runs --prepare on `directory`. A stop request sends SIGTERM; the
  // helper then removes what it created and the outcome is kCancelled.
  PrepareOutcome prepare(const std::filesystem::path& directory, const PrepareRequest& request,
                         std::stop_token stop = {}, const WaitObserver& observer = {}) const;
  DiscardOutcome discard(const std::filesystem::path& directory) const;

  // Writes native-install.json into a fresh session directory, starts --run and waits at
  // most `readyLimit` for the ready file. kBusy when a session is already running in the
  // parent folder. On a time-out or a stop request the session is ended with SIGTERM.
  InstallOutcome install(const std::filesystem::path& directory, const InstallRequest& request,
                         std::chrono::milliseconds readyLimit, std::stop_token stop = {},
                         const WaitObserver& observer = {}) const;

  // The relaunched application: the running session that installed `version` of the
  // application at `executable` and waits for its confirmation.
  std::optional<std::filesystem::path> findWaitingSession(const std::filesystem::path& executable,
                                                          const std::string& version) const;
  // Writes "complete" (or "cancel") into that session; false when none is waiting.
  bool confirmStartup(const std::filesystem::path& executable, const std::string& version,
                      std::string_view phase = "complete") const;

  // Writes one of "installing", "complete" or "cancel" into a session's phase file by
  // renaming a new file into place. Refuses (ClientError kUsage) any other word, and a
  // directory in which no session is ready and running: a phase left behind there would be
  // read by the next session.
  void writePhase(const std::filesystem::path& session, std::string_view phase) const;

  std::vector<LauncherEvent> events() const { return readEvents(parent_); }
  std::optional<Failure> lastFailure(const std::filesystem::path& directory) const { return readFailure(directory); }

  // Removes finished work directories, and request.json and ".pending-" leftovers from those
  // that are kept. A directory is only touched while the client itself holds its lock, so no
  // helper can be working in it; `keep` names directories to leave alone.
  CleanReport clean(const std::set<std::filesystem::path>& keep = {}) const;

 private:
  void requireWorkDirectory(const std::filesystem::path& directory) const;

  std::filesystem::path helper_;
  std::filesystem::path parent_;
};

}  // namespace mirelo::client
