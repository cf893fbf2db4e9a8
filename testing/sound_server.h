#pragma once

// Test support for the meeting helper: private sound servers (PulseAudio, and PipeWire with
// WirePlumber and its PulseAudio server), real recorders (`parecord`, `pw-record`, either
// of them inside a bubblewrap sandbox laid out as Flatpak does it), and the helper itself
// with its three standard streams on pipes.
//
// Every server lives in its own temporary folder: runtime folder, home, configuration and
// state, so no socket, cookie or setting leaks between tests or from the machine's own
// sound server. Clients started here see only that server.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace mirelo::testing {

using Seconds = std::chrono::duration<double>;

enum class SoundServerKind { kPulseAudio, kPipeWire };

// "PulseAudio" or "PipeWire", for test names and messages.
std::string nameOf(SoundServerKind kind);

// A sound server of the test's own with a silent microphone (kMicrophone) and a sink whose
// monitor (kMonitor) can be recorded, both answering the PulseAudio protocol.
class SoundServer {
 public:
  static constexpr char kMicrophone[] = "source.null";
  static constexpr char kMonitor[] = "null.monitor";

  static std::unique_ptr<SoundServer> create(SoundServerKind kind);
  // Why this machine cannot run a server of `kind` (a program is not installed), or nothing.
  static std::optional<std::string> unavailableReason(SoundServerKind kind);

  virtual ~SoundServer() = default;
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  SoundServerKind kind() const { return kind_; }

  // Starts the server and waits until both devices are there. Throws with the server's log
  // when it does not come up.
  virtual void start() = 0;
  // Kills the server at once, as a crash would; start() may bring it back.
  virtual void stop() = 0;

  // The pid of the process that answers the PulseAudio protocol.
  virtual pid_t protocolServerPid() const = 0;
  // Every daemon of the server (for its share of the CPU).
  virtual std::vector<pid_t> daemonPids() const = 0;

  // The environment of a client of this server only.
  const std::vector<std::string>& env() const { return env_; }
  void unsetVariable(const std::string& name);
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path runtimeDir() const { return dir_ / "runtime"; }

  // Runs a client program (pactl, ...) against this server.
  ProcessResult run(const std::vector<std::string>& argv) const;

  // Waits until the server has at least `count` recording streams.
  bool waitForSourceOutputs(size_t count, Seconds limit = Seconds(20)) const;
  // Waits until at least `count` recording streams are running (not corked). A new stream
  // can be listed before it runs, on PipeWire above all.
  bool waitForRunningSourceOutputs(size_t count, Seconds limit = Seconds(20)) const;

 protected:
  explicit SoundServer(SoundServerKind kind);
  // Polls until both devices are listed; throws when `alive` turns false or time runs out.
  void waitUntilReady(const std::function<bool()>& alive) const;

  SoundServerKind kind_;
  TempDir dir_;
  std::vector<std::string> env_;
};

// A real recording client, stopped with SIGTERM (then SIGKILL) when it goes away.
class Recorder {
 public:
  // `parecord` through the PulseAudio protocol, optionally with an application id.
  Recorder(const SoundServer& server, const std::string& device, const std::string& applicationID = "");
  // Any recording command line with `environment`; `reportedPid` finds the pid the helper
  // should report once the process runs (the started process itself when not given).
  Recorder(std::vector<std::string> argv, std::vector<std::string> environment,
           std::function<pid_t(pid_t started)> reportedPid = {});
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // `pw-record`, a native PipeWire client.
  static std::unique_ptr<Recorder> native(const SoundServer& server, const std::string& device);
  // `parecord` with extra client properties, as PULSE_PROP gives them ("key=value ...").
  static std::unique_ptr<Recorder> withProperties(const SoundServer& server, const std::string& device,
                                                  const std::string& properties);
  // `recorder` (the argv of one of the above, or any other) inside a bubblewrap sandbox with
  // a pid namespace of its own and a /.flatpak-info that names `flatpakID`; pid() is the
  // recorder's pid on the host.
  static std::unique_ptr<Recorder> sandboxed(const SoundServer& server, std::vector<std::string> recorder,
                                             const std::string& flatpakID);
  // Why this machine cannot run sandboxed(), or nothing.
  static std::optional<std::string> sandboxUnavailableReason();

  // The argv of `parecord` and `pw-record` on `device`.
  static std::vector<std::string> parecordCommand(const std::string& device, const std::string& applicationID = "");
  static std::vector<std::string> pwRecordCommand(const std::string& device);

  // The pid that should be reported for this recorder; -1 once stopped.
  pid_t pid() const { return pid_; }
  void stop();

 private:
  std::optional<BackgroundProcess> process_;
  pid_t pid_ = -1;
};

// The meeting helper with its standard streams on pipes.
class HelperProcess {
 public:
  explicit HelperProcess(const std::vector<std::string>& env);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return process_->pid(); }

  // The next line the helper writes, waiting at most `limit`; nothing on time-out or
  // end of output.
  std::optional<std::string> nextLine(Seconds limit = Seconds(20));
  // Skips lines until one satisfies `wanted`; nothing when none comes within `limit`.
  std::optional<std::string> lineWhere(const std::function<bool(const std::string&)>& wanted,
                                       Seconds limit = Seconds(20));
  // Everything read from standard output so far, complete lines or not.
  std::string outputSoFar() const;

  void writeInput(const std::string& text);
  void closeInput();

  // The exit status within `limit`, or nothing while it still runs.
  std::optional<int> waitExit(Seconds limit = Seconds(20));
  // What the helper wrote to standard error so far.
  std::string errorText();

 private:
  static bool readSome(int fd, std::string* into, int timeoutMs);

  std::optional<BackgroundProcess> process_;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::string errorText_;
};

// The processes whose parent is `pid`, and theirs, in no particular order.
std::vector<pid_t> descendantsOf(pid_t pid);

}  // namespace mirelo::testing
