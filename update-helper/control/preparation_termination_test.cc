// SIGTERM in a preparation must reach the child registry without ending the process. The
// check runs in a forked child, because blocking SIGTERM and starting the watcher thread
// change the whole process.

#include "update-helper/control/preparation_termination.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "update-helper/staging/child_processes.h"

namespace mirelo {
namespace {

TEST(PreparationTermination, EverySigtermCancelsAndTheProcessGoesOn) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    installPreparationTermination();
    for (int round = 0; round < 3; ++round) {
      // Each round starts uncancelled, so that each delivery has to set the flag itself.
      ChildProcesses::shared().resetForTesting();
      if (ChildProcesses::shared().isCancelled()) ::_exit(20 + round);
      ::kill(::getpid(), SIGTERM);
      bool seen = false;
      for (int i = 0; i < 2000 && !seen; ++i) {
        seen = ChildProcesses::shared().isCancelled();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (!seen) ::_exit(10 + round);
    }
    ::_exit(0);  // still alive after three deliveries
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace mirelo
