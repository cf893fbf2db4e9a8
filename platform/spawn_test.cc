#include "platform/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace stdfs = std::filesystem;
using testing::readFile;
using testing::TempDir;

// Runs a child to its end and returns what it wrote to standard output.
std::string outputOf(const std::string& executable, const std::vector<std::string>& arguments,
                     int workingFolderFd = -1) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  SpawnedProcess child = SpawnedProcess::start(executable, arguments, writeEnd.get(), workingFolderFd);
  writeEnd.reset();
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  EXPECT_EQ(child.wait(), 0);
  return output;
}

// Field `index` (1-based, as proc(5) counts) of /proc/PID/stat.
long statField(pid_t pid, int index) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= index; ++i) rest >> field;
  return std::stol(field);
}

bool isGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  return text.substr(text.rfind(')') + 2, 1) == "Z";
}

bool becomesGone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    if (isGone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(SpawnedProcess, TheArchiveToolVariablesNeverReachAChild) {
  struct Variable {
    const char* name;
    bool reachesTheChild;
  };
  const Variable variables[] = {
      {"UNZIP", false},   {"UNZIPOPT", false}, {"ZIPINFO", false},      {"ZIPINFOOPT", false},
      {"UNZIPX", true},   {"XUNZIP", true},    {"MIRELO_KEEP", true},
  };
  for (const Variable& v : variables) ::setenv(v.name, "-l", 1);
  std::string environment = outputOf("/usr/bin/env", {});
  for (const Variable& v : variables) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(("\n" + environment).find("\n" + std::string(v.name) + "=-l\n") != std::string::npos,
              v.reachesTheChild);
    ::unsetenv(v.name);
  }
  // The helper's own environment is left as it was.
  ::setenv("UNZIP", "-l", 1);
  outputOf("/bin/true", {});
  EXPECT_STREQ(::getenv("UNZIP"), "-l");
  ::unsetenv("UNZIP");
}

TEST(SpawnedProcess, NoInputNoTerminalAndASessionOfItsOwn) {
  // Even when the helper's own standard input is an open pipe, as it is when a caller
  // starts it with one, the child must read end of file at once rather than wait on it.
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  UniqueFd inputWrite(input[1]);
  UniqueFd savedStdin(::dup(STDIN_FILENO));
  ::dup2(input[0], STDIN_FILENO);
  ::close(input[0]);
  std::string output = outputOf("/bin/sh", {"-c", "readlink /proc/self/fd/0; cat; echo $$"});
  ::dup2(savedStdin.get(), STDIN_FILENO);

  std::istringstream lines(output);
  std::string standardInput;
  pid_t shell = 0;
  lines >> standardInput >> shell;
  EXPECT_EQ(standardInput, "/dev/null");
  ASSERT_GT(shell, 0);
  // The shell has ended; its session and terminal are read from a child of the same set-up.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  SpawnedProcess sleeper = SpawnedProcess::start("/bin/sleep", {"30"}, writeEnd.get());
  EXPECT_EQ(statField(sleeper.pid(), 6), sleeper.pid()) << "session id";
  EXPECT_EQ(statField(sleeper.pid(), 7), 0) << "controlling terminal";
  sleeper.sendSignal(SIGKILL);
  EXPECT_EQ(sleeper.wait(), 128 + SIGKILL);
}

TEST(SpawnedProcess, AChildNeverOutlivesTheHelper) {
  // A stand-in for the helper: a process that starts a long-running tool and is then killed
  // without any chance to clean up.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    ::close(ends[0]);
    try {
      SpawnedProcess tool = SpawnedProcess::start("/bin/sleep", {"60"}, ends[1]);
      pid_t pid = tool.pid();
      if (::write(ends[1], &pid, sizeof pid) != sizeof pid) ::_exit(1);
      ::pause();
    } catch (...) {
    }
    ::_exit(1);
  }
  ::close(ends[1]);
  pid_t tool = 0;
  ASSERT_EQ(::read(ends[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
  ::close(ends[0]);
  ASSERT_FALSE(isGone(tool));
  ::kill(helper, SIGKILL);
  int status = 0;
  ::waitpid(helper, &status, 0);
  EXPECT_TRUE(becomesGone(tool)) << "the tool " << tool << " is still running";
}

TEST(SpawnedProcess, StartsInTheFolderItselfNotItsName) {
  TempDir dir;
  stdfs::create_directory(dir / "staging");
  UniqueFd folder(::open((dir / "staging").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder);
  // Someone renames the folder away and puts another one in its place.
  stdfs::rename(dir / "staging", dir / "moved");
  stdfs::create_directory(dir / "staging");
  outputOf("/bin/sh", {"-c", "echo here > marker"}, folder.get());
  EXPECT_EQ(readFile(dir / "moved" / "marker"), "here\n");
  EXPECT_FALSE(stdfs::exists(dir / "staging" / "marker"));
}

TEST(SpawnedProcess, ALaunchFailureIsTheLaunchErrno) {
  TempDir dir;
  testing::writeFile(dir / "not-executable", "#!/bin/sh\n");
  struct Case {
    stdfs::path executable;
    int error;
  };
  const Case cases[] = {{dir / "missing", ENOENT}, {dir / "not-executable", EACCES}, {dir.path(), EACCES}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    try {
      SpawnedProcess::start(c.executable, {}, STDOUT_FILENO);
      ADD_FAILURE() << "started";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), c.error);
    }
  }
}

}  // namespace
}  // namespace mirelo
