#pragma once

// Test support for the meeting helper: a private PulseAudio server, real `parecord`
// recorders, and the helper itself with its three standard streams on pipes. Header-only
// so that tests and benchmarks can use it without a library of their own.
//
// Every server lives in its own temporary folder: runtime folder, home, configuration and
// state, so no socket, cookie or setting leaks between tests or from the machine's own
// sound server. Clients started here see only that server.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "testing/test_support.h"

extern char** environ;

namespace mirelo::testing {

using Seconds = std::chrono::duration<double>;

// The current environment with `overrides` applied; an empty value removes the variable.
inline std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (!overrides.contains(name)) result.push_back(text);
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) result.push_back(name + "=" + value);
  }
  return result;
}

// Starts `argv` with `env`; each of the three descriptors replaces the child's standard
// stream (-1: /dev/null).
inline pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
                          int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[3] = {in, out, err};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, fds[target], target);
    } else {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  std::vector<char*> args, vars;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& v : env) vars.push_back(const_cast<char*>(v.c_str()));
  vars.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), vars.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
  return pid;
}

// Waits for `pid` at most `limit`; its status (exit code or 128 + signal) or nothing.
inline std::optional<int> reapWithin(pid_t pid, Seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  reapWithin(pid, Seconds(30));
}

// A PulseAudio server of our own with a silent microphone ("source.null") and a sink
// whose monitor ("null.monitor") can be recorded.
class PulseTestServer {
 public:
  static constexpr char kMicrophone[] = "source.null";
  static constexpr char kMonitor[] = "null.monitor";

  PulseTestServer() {
    for (const char* folder : {"runtime", "home", "config", "state"}) {
      std::filesystem::create_directory(dir_ / folder);
    }
    // libpulse refuses a runtime folder that others may enter.
    ::chmod((dir_ / "runtime").c_str(), 0700);
    env_ = environmentWith({
        {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
        {"PULSE_RUNTIME_PATH", (dir_ / "runtime" / "pulse").string()},
        {"HOME", (dir_ / "home").string()},
        {"XDG_CONFIG_HOME", (dir_ / "config").string()},
        {"PULSE_STATE_PATH", (dir_ / "state").string()},
        {"PULSE_SERVER", ""},
        {"PULSE_SINK", ""},
        {"PULSE_SOURCE", ""},
        {"PULSE_PROP", ""},
        {"PULSE_COOKIE", ""},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
        {"DBUS_SESSION_BUS_ADDRESS", ""},
    });
  }
  ~PulseTestServer() { stop(); }
  PulseTestServer(const PulseTestServer&) = delete;
  PulseTestServer& operator=(const PulseTestServer&) = delete;

  // Starts the server and waits until both sources are there.
  void start() {
    UniqueLog log(dir_ / "server.log");
    // As root the server only warns ("not intended to be run as root"); it needs no flag
    // for that outside --system mode, which we do not want (it would ignore the private
    // runtime folder). -n skips the machine's default.pa, so only the modules named here
    // load; no pid file, no realtime or high priority (they would ask the session bus or
    // rtkit for help that is not there); and it never exits by itself.
    pid_ = spawnProcess({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                         "--high-priority=no", "--realtime=no", "--log-target=stderr",
                         "--load=module-native-protocol-unix", "--load=module-null-source",
                         "--load=module-null-sink"},
                        env_, -1, log.fd, log.fd);
    auto deadline = std::chrono::steady_clock::now() + Seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (reapWithin(pid_, Seconds(0))) {
        pid_ = -1;
        throw std::runtime_error("pulseaudio ended at start: " + readFile(dir_ / "server.log"));
      }
      ProcessResult sources = run({"pactl", "list", "short", "sources"});
      if (sources.exitCode == 0 && sources.out.find(kMicrophone) != std::string::npos &&
          sources.out.find(kMonitor) != std::string::npos) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("pulseaudio did not come up: " + readFile(dir_ / "server.log"));
  }

  // Kills the server at once, as a crash would.
  void stop() {
    if (pid_ > 0) killAndReap(pid_);
    pid_ = -1;
  }

  pid_t pid() const { return pid_; }
  const std::vector<std::string>& env() const { return env_; }
  void unsetVariable(const std::string& name) {
    std::erase_if(env_, [&](const std::string& entry) { return entry.starts_with(name + "="); });
  }
  const std::filesystem::path& dir() const { return dir_.path(); }

  // Runs a client program (pactl, ...) against this server.
  ProcessResult run(const std::vector<std::string>& argv) const {
    UniqueLog out(dir_ / "run.out"), err(dir_ / "run.err");
    pid_t pid = spawnProcess(argv, env_, -1, out.fd, err.fd);
    auto status = reapWithin(pid, Seconds(30));
    if (!status) killAndReap(pid);
    return {status.value_or(-1), readFile(dir_ / "run.out"), readFile(dir_ / "run.err")};
  }

 private:
  // A log file opened for a child's output, closed once the child has it.
  struct UniqueLog {
    explicit UniqueLog(const std::filesystem::path& path)
        : fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
    ~UniqueLog() {
      if (fd >= 0) ::close(fd);
    }
    int fd;
  };

  TempDir dir_;
  std::vector<std::string> env_;
  pid_t pid_ = -1;
};

// A real recording client: `parecord` on one source, optionally with an application id.
class Recorder {
 public:
  Recorder(const PulseTestServer& server, const std::string& device, const std::string& applicationID = "") {
    std::vector<std::string> argv = {"parecord", "--device=" + device, "--raw"};
    if (!applicationID.empty()) argv.push_back("--property=application.id=" + applicationID);
    argv.push_back("/dev/null");
    pid_ = spawnProcess(argv, server.env(), -1, -1, -1);
  }
  ~Recorder() { stop(); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      if (!reapWithin(pid_, Seconds(10))) killAndReap(pid_);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// The meeting helper with its standard streams on pipes.
class HelperProcess {
 public:
  explicit HelperProcess(const std::vector<std::string>& env) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    pid_ = spawnProcess({programPath("mirelo-meeting-helper").string()}, env, in[0], out[1], err[1]);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    ::fcntl(errors_, F_SETFL, O_NONBLOCK);
  }
  ~HelperProcess() {
    if (!status_) killAndReap(pid_);
    for (int fd : {input_, output_, errors_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next line the helper writes, waiting at most `limit`; nothing on time-out or
  // end of output.
  std::optional<std::string> nextLine(Seconds limit = Seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        lines_.push_back(line);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(output_, &buffer_, static_cast<int>(left.count()))) return std::nullopt;
    }
  }

  // Skips lines until one satisfies `wanted`; nothing when none comes within `limit`.
  std::optional<std::string> lineWhere(const std::function<bool(const std::string&)>& wanted,
                                       Seconds limit = Seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      Seconds left = deadline - std::chrono::steady_clock::now();
      if (left.count() <= 0) return std::nullopt;
      auto line = nextLine(left);
      if (!line) return std::nullopt;
      if (wanted(*line)) return line;
    }
  }

  // Everything read from standard output so far, complete lines or not.
  std::string outputSoFar() const {
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all + buffer_;
  }

  void writeInput(const std::string& text) {
    if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("write to helper failed");
    }
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // The exit status within `limit`, or nothing while it still runs.
  std::optional<int> waitExit(Seconds limit = Seconds(20)) {
    if (!status_) status_ = reapWithin(pid_, limit);
    return status_;
  }

  // What the helper wrote to standard error so far.
  std::string errorText() {
    while (readSome(errors_, &errorText_, 0)) {
    }
    return errorText_;
  }

 private:
  // Appends what `fd` has within `timeoutMs`; false at time-out or end of file.
  static bool readSome(int fd, std::string* into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready <= 0) return false;
    char chunk[4096];
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got <= 0) return false;
    into->append(chunk, static_cast<size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::string errorText_;
  std::optional<int> status_;
};

}  // namespace mirelo::testing
