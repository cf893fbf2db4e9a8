#pragma once

// A real X server for window tests: Xvfb on a display number of its own, optionally with a
// real window manager (icewm, which honours the Motif hints of a window), and a child
// process that the test converses with line by line.

#include <X11/Xlib.h>
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mirelo::testing {

class XServer {
 public:
  // Starts Xvfb with one 1280x800 screen and, when `withWindowManager`, icewm, and waits
  // until the window manager has taken over the root window. Throws when either fails.
  explicit XServer(bool withWindowManager);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // Whether the programs needed are installed; tests skip with the reason otherwise.
  static std::optional<std::string> missingProgram();

  const std::string& display() const { return display_; }
  Display* connection() const { return connection_; }
  int screenWidth() const;
  int screenHeight() const;

 private:
  pid_t server_ = -1;
  pid_t windowManager_ = -1;
  std::string display_;
  std::filesystem::path configFolder_;
  Display* connection_ = nullptr;
};

// Reads of a window's properties, as the window manager and pagers see them.
Atom atom(Display* display, const char* name);
std::string atomName(Display* display, Atom atom);
std::vector<std::string> atomListProperty(Display* display, Window window, const char* property);
std::vector<long> cardinalProperty(Display* display, Window window, const char* property, const char* type);
std::optional<std::string> textProperty(Display* display, Window window, const char* property);

// The client window of the top-level whose _NET_WM_PID is `pid`, once the window manager
// manages it (it is listed in _NET_CLIENT_LIST) and it is viewable; none after `seconds`.
std::optional<Window> waitForClientWindow(Display* display, pid_t pid, double seconds);

// A child process with pipes on its standard input and output; its standard error goes to
// a file. `environment` overrides (a value) or removes (none) variables of this process's.
class ConversingProcess {
 public:
  ConversingProcess(const std::vector<std::string>& argv,
                    const std::map<std::string, std::optional<std::string>>& environment);
  ~ConversingProcess();  // SIGKILL and reap, if still running
  ConversingProcess(const ConversingProcess&) = delete;
  ConversingProcess& operator=(const ConversingProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(const std::string& line);
  // The next line of standard output without its line feed; none at the end of the output
  // or after `seconds`.
  std::optional<std::string> readLine(double seconds = 10);
  std::optional<int> waitFor(double seconds);  // exit status or 128 + signal
  std::string errorOutput() const;

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
  std::filesystem::path errorFile_;
  std::optional<int> status_;
};

}  // namespace mirelo::testing
