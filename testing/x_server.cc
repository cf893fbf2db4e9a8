#include "testing/x_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace mirelo::testing {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (changes.count(text.substr(0, text.find('='))) == 0) out.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, posix_spawn_file_actions_t* actions) {
  auto args = cStrings(argv);
  auto envp = cStrings(env);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0].c_str(), actions, nullptr, args.data(), envp.data());
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = after(5);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= rest.size();) {
    const size_t end = rest.find(':', start);
    const std::string folder = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// A window that went away while being read is a finding of the test, not a reason for Xlib's
// default handler to end the test program.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

std::optional<std::string> XServer::missingProgram() {
  for (const char* name : {"Xvfb", "icewm", "xdotool", "import"}) {
    if (!onPath(name)) return std::string(name) + " is not installed (tools/install-deps.sh installs it)";
  }
  return std::nullopt;
}

XServer::XServer(bool withWindowManager) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  try {
    server_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"},
                    mergedEnvironment({}), &actions);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[0]);
    ::close(pipe[1]);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);

  // Xvfb writes its display number once it accepts connections.
  std::string number;
  pollfd ready{pipe[0], POLLIN, 0};
  const auto deadline = after(20);
  while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
    if (::poll(&ready, 1, 100) <= 0) continue;
    char buffer[32];
    const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipe[0]);
  if (number.find('\n') == std::string::npos) {
    stop(server_);
    throw std::runtime_error("Xvfb did not start");
  }
  display_ = ":" + number.substr(0, number.find('\n'));
  XSetErrorHandler(&ignoreXError);
  connection_ = XOpenDisplay(display_.c_str());
  if (connection_ == nullptr) {
    stop(server_);
    throw std::runtime_error("cannot connect to " + display_);
  }
  if (!withWindowManager) return;

  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // A private, empty configuration folder: the window manager behaves as installed, whatever
  // the user running the tests has configured.
  char config[] = "/tmp/mirelo-icewm-XXXXXX";
  if (::mkdtemp(config) != nullptr) configFolder_ = config;
  windowManager_ = spawn({"icewm"}, mergedEnvironment({{"DISPLAY", display_}, {"ICEWM_PRIVCFG", configFolder_.string()}}),
                         &actions);
  posix_spawn_file_actions_destroy(&actions);
  const Window root = DefaultRootWindow(connection_);
  for (const auto end = after(20); Clock::now() < end;) {
    if (!cardinalProperty(connection_, root, "_NET_SUPPORTING_WM_CHECK", "WINDOW").empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  XCloseDisplay(connection_);
  stop(windowManager_);
  stop(server_);
  std::error_code ignored;
  std::filesystem::remove_all(configFolder_, ignored);
  throw std::runtime_error("the window manager did not start");
}

XServer::~XServer() {
  if (connection_ != nullptr) XCloseDisplay(connection_);
  stop(windowManager_);
  stop(server_);
  std::error_code ignored;
  if (!configFolder_.empty()) std::filesystem::remove_all(configFolder_, ignored);
}

int XServer::screenWidth() const { return DisplayWidth(connection_, DefaultScreen(connection_)); }
int XServer::screenHeight() const { return DisplayHeight(connection_, DefaultScreen(connection_)); }

Atom atom(Display* display, const char* name) { return XInternAtom(display, name, False); }

std::string atomName(Display* display, Atom value) {
  char* name = XGetAtomName(display, value);
  std::string out = name != nullptr ? name : "";
  if (name != nullptr) XFree(name);
  return out;
}

namespace {

// The items of a property of the given type and 32-bit format, as longs (Xlib's form).
std::vector<long> longItems(Display* display, Window window, const char* property, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::vector<long> out;
  if (XGetWindowProperty(display, window, atom(display, property), 0, 1024, False, type, &actualType, &format,
                         &count, &remaining, &data) == Success &&
      data != nullptr) {
    if (actualType == type && format == 32) {
      const long* items = reinterpret_cast<const long*>(data);
      out.assign(items, items + count);
    }
    XFree(data);
  }
  return out;
}

}  // namespace

std::vector<std::string> atomListProperty(Display* display, Window window, const char* property) {
  std::vector<std::string> out;
  for (long item : longItems(display, window, property, XA_ATOM)) out.push_back(atomName(display, static_cast<Atom>(item)));
  return out;
}

std::vector<long> cardinalProperty(Display* display, Window window, const char* property, const char* type) {
  return longItems(display, window, property, atom(display, type));
}

std::optional<std::string> textProperty(Display* display, Window window, const char* property) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> out;
  if (XGetWindowProperty(display, window, atom(display, property), 0, 4096, False, AnyPropertyType, &actualType,
                         &format, &count, &remaining, &data) == Success &&
      data != nullptr) {
    if (format == 8) out = std::string(reinterpret_cast<const char*>(data), count);
    XFree(data);
  }
  return out;
}

std::optional<Window> waitForClientWindow(Display* display, pid_t pid, double seconds) {
  const Window root = DefaultRootWindow(display);
  for (const auto end = after(seconds); Clock::now() < end;) {
    for (long client : cardinalProperty(display, root, "_NET_CLIENT_LIST", "WINDOW")) {
      const auto window = static_cast<Window>(client);
      const auto owner = cardinalProperty(display, window, "_NET_WM_PID", "CARDINAL");
      XWindowAttributes attributes;
      if (owner.size() == 1 && owner[0] == pid && XGetWindowAttributes(display, window, &attributes) &&
          attributes.map_state == IsViewable) {
        return window;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

ConversingProcess::ConversingProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::optional<std::string>>& environment) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  char name[] = "/tmp/mirelo-stderr-XXXXXX";
  const int errorFd = ::mkstemp(name);
  errorFile_ = name;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (errorFd >= 0) posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
  try {
    pid_ = spawn(argv, mergedEnvironment(environment), &actions);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], in[1], out[0], out[1], errorFd}) ::close(fd);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1], errorFd}) ::close(fd);
  input_ = in[1];
  output_ = out[0];
}

ConversingProcess::~ConversingProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
  std::error_code ignored;
  std::filesystem::remove(errorFile_, ignored);
}

void ConversingProcess::send(const std::string& line) {
  const std::string text = line + "\n";
  // A child that already ended must not end the test with SIGPIPE.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  [[maybe_unused]] const ssize_t written = ::write(input_, text.data(), text.size());
  ::sigaction(SIGPIPE, &previous, nullptr);
}

std::optional<std::string> ConversingProcess::readLine(double seconds) {
  const auto end = after(seconds);
  while (buffered_.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd ready{output_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    buffered_.append(buffer, static_cast<size_t>(got));
  }
  const size_t end_of_line = buffered_.find('\n');
  std::string line = buffered_.substr(0, end_of_line);
  buffered_.erase(0, end_of_line + 1);
  return line;
}

std::optional<int> ConversingProcess::waitFor(double seconds) {
  for (const auto end = after(seconds); !status_;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = decode(status);
      break;
    }
    if (Clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

std::string ConversingProcess::errorOutput() const {
  std::string text;
  if (FILE* file = std::fopen(errorFile_.c_str(), "r")) {
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
    std::fclose(file);
  }
  return text;
}

}  // namespace mirelo::testing
