#include "update-helper/control/preparation_termination.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

#include "update-helper/staging/child_processes.h"

namespace mirelo {

bool installPreparationTermination() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // The watcher lives until the process ends; it holds nothing that needs tearing down.
  try {
    std::thread([set] {
      for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) == 0) ChildProcesses::shared().cancel();
      }
    }).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return false;
  }
  return true;
}

}  // namespace mirelo
