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

#include "testing/test_support.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo {
namespace {

TEST(PreparationTermination, EverySigtermCancelsAndTheProcessGoesOn) {
  const std::string outcome = testing::runInChild([] {
    if (!installPreparationTermination()) return std::string("the watcher did not start");
    for (int round = 0; round < 3; ++round) {
      // Each round starts uncancelled, so that each delivery has to set the flag itself.
      ChildProcesses::shared().resetForTesting();
      if (ChildProcesses::shared().isCancelled()) return "round " + std::to_string(round) + " began cancelled";
      ::kill(::getpid(), SIGTERM);
      bool seen = false;
      for (int i = 0; i < 2000 && !seen; ++i) {
        seen = ChildProcesses::shared().isCancelled();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (!seen) return "round " + std::to_string(round) + ": SIGTERM did not cancel";
    }
    return std::string("alive after three deliveries");
  });
  EXPECT_EQ(outcome, "alive after three deliveries");
}

}  // namespace
}  // namespace mirelo
