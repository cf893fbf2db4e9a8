#include "testing/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace mirelo::testing {
namespace {

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> makeArgv(const std::vector<std::string>& argv) {
  std::vector<char*> result;
  for (const auto& a : argv) result.push_back(const_cast<char*>(a.c_str()));
  result.push_back(nullptr);
  return result;
}

void readAll(int fd, std::string* into) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
}

// A null-terminated array of pointers into `entries`, which must outlive it.
std::vector<char*> makeEnvironment(const std::optional<std::vector<std::string>>& entries) {
  if (!entries) return {};
  return makeArgv(*entries);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mirelo-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only or immutable-free folders; make them writable first.
  try {
    runProcess({"/bin/chmod", "-R", "u+rwx", path_.string()});
  } catch (...) {
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path programPath(const std::string& name) {
  return std::filesystem::path(MIRELO_BUILD_DIR) / "bin" / name;
}

std::filesystem::path sourceDir() { return MIRELO_SOURCE_DIR; }

namespace {

ProcessResult runToCompletion(const std::vector<std::string>& argv, const std::optional<std::string>& input,
                              const std::optional<std::vector<std::string>>& environment) {
  int out[2], err[2], in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (input && ::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  auto args = makeArgv(argv);
  auto vars = makeEnvironment(environment);
  pid_t pid = -1;
  int rc = environment ? posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), vars.data())
                       : posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (input) ::close(in[0]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    if (input) ::close(in[1]);
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
  }

  ProcessResult result;
  std::thread writer;
  if (input) {
    writer = std::thread([fd = in[1], data = *input] {
      size_t done = 0;
      while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      ::close(fd);
    });
  }
  std::thread errReader([&] { readAll(err[0], &result.err); });
  readAll(out[0], &result.out);
  errReader.join();
  if (writer.joinable()) writer.join();
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = decodeStatus(status);
  return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::optional<std::string>& input) {
  return runToCompletion(argv, input, std::nullopt);
}

ProcessResult runProcessWithEnvironment(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& environment) {
  return runToCompletion(argv, std::nullopt, environment);
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
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

ProcessResult runShell(const std::string& command) { return runProcess({"/bin/sh", "-c", command}); }

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  if (!stream) throw std::runtime_error("cannot write " + path.string());
  stream << content;
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

Immutable::Immutable(std::filesystem::path path) : path_(std::move(path)) {
  applied_ = runShell("chattr +i '" + path_.string() + "' 2>/dev/null").exitCode == 0;
}

Immutable::~Immutable() {
  if (applied_) runShell("chattr -i '" + path_.string() + "'");
}

std::string runInChild(const std::function<std::string()>& body) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  const pid_t child = ::fork();
  if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (child == 0) {
    ::close(ends[0]);
    std::string text;
    try {
      text = body();
    } catch (const std::exception& error) {
      text = std::string("exception: ") + error.what();
    } catch (...) {
      text = "exception";
    }
    for (size_t written = 0; written < text.size();) {
      const ssize_t n = ::write(ends[1], text.data() + written, text.size() - written);
      if (n <= 0) ::_exit(1);
      written += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(ends[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(ends[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return text;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  auto args = makeArgv(argv);
  int rc = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const SpawnOptions& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int descriptors[3] = {options.input, options.output, options.error};
  for (int target = 0; target < 3; ++target) {
    if (descriptors[target] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, descriptors[target], target);
    } else {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.newProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  auto args = makeArgv(argv);
  auto vars = makeEnvironment(options.environment);
  int rc = posix_spawnp(&pid_, argv[0].c_str(), &actions, &attributes, args.data(),
                        options.environment ? vars.data() : environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
}

BackgroundProcess::~BackgroundProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

void BackgroundProcess::signal(int signal) const {
  if (!reaped_) ::kill(pid_, signal);
}

void BackgroundProcess::signalGroup(int signal) const {
  // The group outlives its leader when the leader has been reaped, so this is not limited
  // to a running child.
  ::kill(-pid_, signal);
}

int BackgroundProcess::wait() {
  if (reaped_) return status_;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = decodeStatus(status);
  return status_;
}

std::optional<int> BackgroundProcess::waitFor(double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!reaped_) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = decodeStatus(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

}  // namespace mirelo::testing
