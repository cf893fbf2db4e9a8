#include "testing/sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

namespace mirelo::testing {
namespace {

// A log file opened for a child's output, closed once the child has it.
struct LogFile {
  explicit LogFile(const std::filesystem::path& path)
      : fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
  ~LogFile() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

std::string logOf(const std::filesystem::path& path) {
  try {
    return readFile(path);
  } catch (const std::exception&) {
    return "(no log)";
  }
}

bool programInstalled(const std::string& name) {
  return runShell("command -v '" + name + "' >/dev/null 2>&1").exitCode == 0;
}

// Whether `pid` still runs: it exists and is not a zombie waiting for its parent.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// The variables that would lead a client to another server, or give it a bus, a display
// or settings of the machine's own.
std::map<std::string, std::string> privateVariables(const TempDir& dir) {
  return {
      {"XDG_RUNTIME_DIR", (dir / "runtime").string()},
      {"HOME", (dir / "home").string()},
      {"XDG_CONFIG_HOME", (dir / "config").string()},
      {"XDG_STATE_HOME", (dir / "state").string()},
      {"XDG_DATA_HOME", (dir / "data").string()},
      {"PULSE_RUNTIME_PATH", ""},
      {"PULSE_STATE_PATH", (dir / "state").string()},
      {"PULSE_SERVER", ""},
      {"PULSE_SINK", ""},
      {"PULSE_SOURCE", ""},
      {"PULSE_PROP", ""},
      {"PULSE_COOKIE", ""},
      {"PIPEWIRE_REMOTE", ""},
      {"PIPEWIRE_RUNTIME_DIR", ""},
      {"PIPEWIRE_CONFIG_DIR", ""},
      {"PIPEWIRE_PROPS", ""},
      {"DISPLAY", ""},
      {"WAYLAND_DISPLAY", ""},
      {"DBUS_SESSION_BUS_ADDRESS", ""},
  };
}

class PulseAudioTestServer final : public SoundServer {
 public:
  PulseAudioTestServer() : SoundServer(SoundServerKind::kPulseAudio) {
    auto variables = privateVariables(dir_);
    variables["PULSE_RUNTIME_PATH"] = (dir_ / "runtime" / "pulse").string();
    env_ = environmentWith(variables);
  }
  ~PulseAudioTestServer() override { stop(); }

  void start() override {
    LogFile log(dir_ / "server.log");
    // As root the server only warns ("not intended to be run as root"); it needs no flag
    // for that outside --system mode, which we do not want (it would ignore the private
    // runtime folder). -n skips the machine's default.pa, so only the modules named here
    // load; no pid file, no realtime or high priority (they would ask the session bus or
    // rtkit for help that is not there); and it never exits by itself.
    SpawnOptions options;
    options.environment = env_;
    options.output = log.fd;
    options.error = log.fd;
    server_.emplace(std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                             "--use-pid-file=no", "--high-priority=no", "--realtime=no",
                                             "--log-target=stderr", "--load=module-native-protocol-unix",
                                             "--load=module-null-source", "--load=module-null-sink"},
                    options);
    waitUntilReady([this] { return !server_->waitFor(0); });
  }

  void stop() override {
    if (server_) {
      server_->signal(SIGKILL);
      server_->wait();
      server_.reset();
    }
  }

  pid_t protocolServerPid() const override { return server_ ? server_->pid() : -1; }
  std::vector<pid_t> daemonPids() const override {
    if (!server_) return {};
    return {server_->pid()};
  }

 private:
  std::optional<BackgroundProcess> server_;
};

// PipeWire, WirePlumber and pipewire-pulse on a session bus of their own. The devices are
// nodes of PipeWire's own configuration, so they are there as soon as PipeWire is.
class PipeWireTestServer final : public SoundServer {
 public:
  PipeWireTestServer() : SoundServer(SoundServerKind::kPipeWire) {
    std::filesystem::create_directories(dir_ / "config" / "pipewire" / "pipewire.conf.d");
    std::filesystem::create_directories(dir_ / "modules");
    writeFile(dir_ / "config" / "pipewire" / "pipewire.conf.d" / "test-devices.conf", R"(
context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "source.null"
             media.class = "Audio/Source/Virtual" audio.position = [ FL FR ] } }
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "null"
             media.class = "Audio/Sink" audio.position = [ FL FR ] } }
]
)");
    // Every module but the one that raises threads to real-time priority: run as root, it
    // would get it, and the test servers share the machine with everything else. The
    // configurations load that module only "ifexists".
    std::filesystem::path modules = "/usr/lib/x86_64-linux-gnu/pipewire-0.3";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(modules, ignored)) {
      if (entry.path().filename() == "libpipewire-module-rt.so") continue;
      std::filesystem::create_symlink(entry.path(), dir_ / "modules" / entry.path().filename(), ignored);
    }
    auto variables = privateVariables(dir_);
    variables["PIPEWIRE_MODULE_DIR"] = (dir_ / "modules").string();
    env_ = environmentWith(variables);
  }
  ~PipeWireTestServer() override { stop(); }

  void start() override {
    LogFile log(dir_ / "server.log");
    // dbus-run-session gives WirePlumber the session bus it asks for and ends that bus with
    // the script. PipeWire's socket must be there before the other two connect.
    const std::string script = R"(
      pipewire & echo $! > "$0/pipewire.pid"
      n=0
      while [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ] && [ $n -lt 1000 ]; do sleep 0.01; n=$((n+1)); done
      wireplumber & echo $! > "$0/wireplumber.pid"
      pipewire-pulse & echo $! > "$0/pipewire-pulse.pid"
      wait)";
    for (const char* name : {"pipewire.pid", "wireplumber.pid", "pipewire-pulse.pid"}) {
      std::filesystem::remove(dir_ / name);
    }
    SpawnOptions options;
    options.environment = env_;
    options.output = log.fd;
    options.error = log.fd;
    options.newProcessGroup = true;
    session_.emplace(std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script, dir_.path().string()},
                     options);
    waitUntilReady([this] { return !session_->waitFor(0); });
  }

  void stop() override {
    if (!session_) return;
    std::vector<pid_t> daemons = daemonPids();
    session_->signalGroup(SIGKILL);
    session_->wait();
    session_.reset();
    // The daemons are not our children; wait until they are gone, so that a new server
    // never meets the old one.
    auto deadline = std::chrono::steady_clock::now() + Seconds(10);
    while (std::any_of(daemons.begin(), daemons.end(), running) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  pid_t protocolServerPid() const override { return pidFrom("pipewire-pulse.pid"); }
  std::vector<pid_t> daemonPids() const override {
    std::vector<pid_t> pids;
    for (const char* name : {"pipewire.pid", "wireplumber.pid", "pipewire-pulse.pid"}) {
      if (pid_t pid = pidFrom(name); pid > 0) pids.push_back(pid);
    }
    return pids;
  }

 private:
  pid_t pidFrom(const std::string& name) const {
    std::ifstream file(dir_ / name);
    pid_t pid = -1;
    file >> pid;
    return file ? pid : -1;
  }

  std::optional<BackgroundProcess> session_;
};

}  // namespace

std::string nameOf(SoundServerKind kind) { return kind == SoundServerKind::kPulseAudio ? "PulseAudio" : "PipeWire"; }

std::unique_ptr<SoundServer> SoundServer::create(SoundServerKind kind) {
  if (kind == SoundServerKind::kPulseAudio) return std::make_unique<PulseAudioTestServer>();
  return std::make_unique<PipeWireTestServer>();
}

std::optional<std::string> SoundServer::unavailableReason(SoundServerKind kind) {
  std::vector<std::string> programs = {"pactl", "parecord"};
  if (kind == SoundServerKind::kPulseAudio) {
    programs.push_back("pulseaudio");
  } else {
    programs.insert(programs.end(), {"pipewire", "wireplumber", "pipewire-pulse", "pw-record", "dbus-run-session"});
  }
  for (const auto& program : programs) {
    if (!programInstalled(program)) return program + " is not installed (tools/install-deps.sh installs it)";
  }
  return std::nullopt;
}

SoundServer::SoundServer(SoundServerKind kind) : kind_(kind) {
  for (const char* folder : {"runtime", "home", "config", "state", "data"}) {
    std::filesystem::create_directories(dir_ / folder);
  }
  // libpulse refuses a runtime folder that others may enter.
  ::chmod((dir_ / "runtime").c_str(), 0700);
}

void SoundServer::unsetVariable(const std::string& name) {
  std::erase_if(env_, [&](const std::string& entry) { return entry.starts_with(name + "="); });
}

ProcessResult SoundServer::run(const std::vector<std::string>& argv) const {
  return runProcessWithEnvironment(argv, env_);
}

namespace {

// Asks `counted` every 20 ms until it reaches `count`; false after `limit`.
bool waitForCount(size_t count, Seconds limit, const std::function<size_t()>& counted) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (counted() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

size_t occurrences(const std::string& text, std::string_view word) {
  size_t found = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++found;
  return found;
}

}  // namespace

bool SoundServer::waitForSourceOutputs(size_t count, Seconds limit) const {
  return waitForCount(count, limit, [&] { return occurrences(run({"pactl", "list", "short", "source-outputs"}).out, "\n"); });
}

bool SoundServer::waitForRunningSourceOutputs(size_t count, Seconds limit) const {
  return waitForCount(count, limit, [&] { return occurrences(run({"pactl", "list", "source-outputs"}).out, "Corked: no"); });
}

void SoundServer::waitUntilReady(const std::function<bool()>& alive) const {
  auto deadline = std::chrono::steady_clock::now() + Seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!alive()) throw std::runtime_error(nameOf(kind_) + " ended at start: " + logOf(dir_ / "server.log"));
    ProcessResult sources = run({"pactl", "list", "short", "sources"});
    if (sources.exitCode == 0 && sources.out.find(kMicrophone) != std::string::npos &&
        sources.out.find(kMonitor) != std::string::npos) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error(nameOf(kind_) + " did not come up: " + logOf(dir_ / "server.log"));
}

Recorder::Recorder(const SoundServer& server, const std::string& device, const std::string& applicationID)
    : Recorder(parecordCommand(device, applicationID), server.env()) {}

Recorder::Recorder(std::vector<std::string> argv, std::vector<std::string> environment,
                   std::function<pid_t(pid_t started)> reportedPid) {
  SpawnOptions options;
  options.environment = std::move(environment);
  process_.emplace(argv, options);
  pid_ = reportedPid ? reportedPid(process_->pid()) : process_->pid();
}

Recorder::~Recorder() { stop(); }

void Recorder::stop() {
  if (process_) {
    process_->signal(SIGTERM);
    process_->waitFor(10);
    process_.reset();  // SIGKILL if it is still there
  }
  pid_ = -1;
}

std::vector<std::string> Recorder::parecordCommand(const std::string& device, const std::string& applicationID) {
  std::vector<std::string> argv = {"parecord", "--device=" + device, "--raw"};
  if (!applicationID.empty()) argv.push_back("--property=application.id=" + applicationID);
  argv.push_back("/dev/null");
  return argv;
}

std::vector<std::string> Recorder::pwRecordCommand(const std::string& device) {
  // "-" writes the samples to standard output, which is /dev/null.
  return {"pw-record", "--target=" + device, "-"};
}

std::unique_ptr<Recorder> Recorder::native(const SoundServer& server, const std::string& device) {
  return std::make_unique<Recorder>(pwRecordCommand(device), server.env());
}

std::unique_ptr<Recorder> Recorder::withProperties(const SoundServer& server, const std::string& device,
                                                   const std::string& properties) {
  std::vector<std::string> env = server.env();
  env.push_back("PULSE_PROP=" + properties);
  return std::make_unique<Recorder>(parecordCommand(device), env);
}

namespace {

// What Flatpak gives an application: a root of its own on a tmpfs, /usr and /etc read-only,
// the runtime folder, a pid namespace in which bubblewrap is pid 1 and the application pid 2,
// and /.flatpak-info.
std::vector<std::string> sandboxCommand(const std::filesystem::path& shared, const std::filesystem::path& info) {
  return {"bwrap",         "--unshare-pid", "--die-with-parent", "--ro-bind", "/usr",          "/usr",
          "--ro-bind",     "/etc",          "/etc",              "--symlink", "usr/lib",       "/lib",
          "--symlink",     "usr/lib64",     "/lib64",            "--symlink", "usr/bin",       "/bin",
          "--symlink",     "usr/sbin",      "/sbin",             "--proc",    "/proc",         "--dev",
          "/dev",          "--tmpfs",       "/tmp",              "--bind",    shared.string(), shared.string(),
          "--ro-bind",     info.string(),   "/.flatpak-info",    "--chdir",   "/",             "--"};
}

// The innermost pid of `pid` (the last field of NSpid), or -1.
pid_t innermostPid(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("NSpid:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    pid_t last = -1;
    for (pid_t value; fields >> value;) last = value;
    return last;
  }
  return -1;
}

}  // namespace

std::unique_ptr<Recorder> Recorder::sandboxed(const SoundServer& server, std::vector<std::string> recorder,
                                              const std::string& flatpakID) {
  static int serial = 0;
  auto info = server.dir() / ("flatpak-info-" + std::to_string(++serial));
  writeFile(info, "[Application]\nname=" + flatpakID +
                      "\nruntime=runtime/org.example.Platform/x86_64/1\n\n[Instance]\ninstance-id=" +
                      std::to_string(serial) + "\n");
  std::vector<std::string> argv = sandboxCommand(server.dir(), info);
  argv.insert(argv.end(), recorder.begin(), recorder.end());
  return std::make_unique<Recorder>(argv, server.env(), [](pid_t bubblewrap) {
    // The recorder is pid 2 of the sandbox, below bubblewrap's pid 1.
    auto deadline = std::chrono::steady_clock::now() + Seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      for (pid_t pid : descendantsOf(bubblewrap)) {
        if (innermostPid(pid) == 2) return pid;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("the sandboxed recorder did not start");
  });
}

std::optional<std::string> Recorder::sandboxUnavailableReason() {
  if (!programInstalled("bwrap")) return "bwrap is not installed (tools/install-deps.sh installs it)";
  TempDir dir;
  writeFile(dir / "info", "[Application]\nname=org.example.Probe\n");
  std::vector<std::string> argv = sandboxCommand(dir.path(), dir / "info");
  argv.insert(argv.end(), {"sh", "-c", "test $$ -eq 2 && test -f /.flatpak-info"});
  ProcessResult result = runProcessWithEnvironment(argv, environmentWith({}));
  if (result.exitCode != 0) return "this machine cannot make a pid namespace with bubblewrap: " + result.err;
  return std::nullopt;
}

HelperProcess::HelperProcess(const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  SpawnOptions options;
  options.environment = env;
  options.input = in[0];
  options.output = out[1];
  options.error = err[1];
  process_.emplace(std::vector<std::string>{programPath("mirelo-meeting-helper").string()}, options);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
  ::fcntl(output_, F_SETFL, O_NONBLOCK);
  ::fcntl(errors_, F_SETFL, O_NONBLOCK);
}

HelperProcess::~HelperProcess() {
  process_.reset();
  for (int fd : {input_, output_, errors_}) {
    if (fd >= 0) ::close(fd);
  }
}

std::optional<std::string> HelperProcess::nextLine(Seconds limit) {
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

std::optional<std::string> HelperProcess::lineWhere(const std::function<bool(const std::string&)>& wanted,
                                                    Seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    Seconds left = deadline - std::chrono::steady_clock::now();
    if (left.count() <= 0) return std::nullopt;
    auto line = nextLine(left);
    if (!line) return std::nullopt;
    if (wanted(*line)) return line;
  }
}

std::string HelperProcess::outputSoFar() const {
  std::string all;
  for (const auto& line : lines_) all += line + "\n";
  return all + buffer_;
}

void HelperProcess::writeInput(const std::string& text) {
  if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("write to helper failed");
  }
}

void HelperProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

std::optional<int> HelperProcess::waitExit(Seconds limit) { return process_->waitFor(limit.count()); }

std::string HelperProcess::errorText() {
  while (readSome(errors_, &errorText_, 0)) {
  }
  return errorText_;
}

bool HelperProcess::readSome(int fd, std::string* into, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return false;
  char chunk[4096];
  ssize_t got = ::read(fd, chunk, sizeof chunk);
  if (got <= 0) return false;
  into->append(chunk, static_cast<size_t>(got));
  return true;
}

std::vector<pid_t> descendantsOf(pid_t ancestor) {
  std::map<pid_t, pid_t> parents;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) == 0) {
        parents[std::stoi(name)] = std::stoi(line.substr(5));
        break;
      }
    }
  }
  std::vector<pid_t> found;
  std::vector<pid_t> frontier = {ancestor};
  while (!frontier.empty()) {
    pid_t parent = frontier.back();
    frontier.pop_back();
    for (const auto& [pid, ppid] : parents) {
      if (ppid == parent) {
        found.push_back(pid);
        frontier.push_back(pid);
      }
    }
  }
  return found;
}

}  // namespace mirelo::testing
