#pragma once

// Small helpers for tests that work on real files and real processes.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mirelo::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Path of a program built by this project ("mirelo-update-helper", ...).
std::filesystem::path programPath(const std::string& name);
// The top of the source tree.
std::filesystem::path sourceDir();

// For `strace -E`: the leak checker of a sanitizer build cannot run in a traced process and
// would fail it at exit.
inline constexpr const char* kNoLeakCheckUnderTrace = "ASAN_OPTIONS=detect_leaks=0";

struct ProcessResult {
  int exitCode = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) to completion, feeding `input` to its
// standard input when given (otherwise standard input is /dev/null).
ProcessResult runProcess(const std::vector<std::string>& argv, const std::optional<std::string>& input = {});

// Runs a command line through /bin/sh -c and returns its result.
ProcessResult runShell(const std::string& command);

void writeFile(const std::filesystem::path& path, const std::string& content);
// The names of the entries of a folder, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder);
std::string readFile(const std::filesystem::path& path);

// Sets the immutable attribute (chattr +i) on a file or folder for the life of the object,
// so that not even root can change, rename or remove it; cleared again on destruction.
// applied() is false where the file system or the user does not allow it.
class Immutable {
 public:
  explicit Immutable(std::filesystem::path path);
  ~Immutable();
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;
  bool applied() const { return applied_; }

 private:
  std::filesystem::path path_;
  bool applied_ = false;
};

// The current environment with `overrides` applied; an empty value removes the variable.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides);

// How a child is started by the overloads that take it. The program is looked up in PATH
// when argv[0] has no slash.
struct SpawnOptions {
  // The child's whole environment; nothing: this process's own.
  std::optional<std::vector<std::string>> environment;
  // Descriptors that become the child's standard input, output and error; -1: /dev/null.
  int input = -1;
  int output = -1;
  int error = -1;
  // The child leads a process group of its own, so that it and everything it starts can be
  // signalled at once (BackgroundProcess::signalGroup).
  bool newProcessGroup = false;
};

// runProcess with `environment` as the child's whole environment, its program looked up in
// PATH when argv[0] has no slash.
ProcessResult runProcessWithEnvironment(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& environment);
// Runs `body` in a forked copy of this process (for checks that change the whole process,
// such as its user or its signal mask) and returns the text it returned; an exception in
// the child comes back as "exception: " and its message, a child that died as "ended with
// status N". Programs are started with runProcess or BackgroundProcess instead.
std::string runInChild(const std::function<std::string()>& body);

// A child process that runs in the background until it is stopped or waited for.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  BackgroundProcess(const std::vector<std::string>& argv, const SpawnOptions& options);
  ~BackgroundProcess();  // SIGKILL and reap, if still running
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signal) const;
  // Signals the child's whole process group (started with `newProcessGroup`).
  void signalGroup(int signal) const;
  // Waits for the end; returns the exit status or 128 + signal.
  int wait();
  // Waits at most `seconds`; returns the status, or nothing when still running.
  std::optional<int> waitFor(double seconds);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace mirelo::testing
