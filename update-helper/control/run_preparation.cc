#include "update-helper/control/run_preparation.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/fs.h"
#include "update-helper/control/failure_reason.h"
#include "update-helper/control/helper_process.h"
#include "update-helper/install/install_failure.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {
namespace {

// ioprio_set(2) has no libc wrapper.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

// Background priority for the rest of this process's work. On Linux both settings belong
// to the calling thread; the main thread does the work and starts every child tool, which
// inherits both.
void lowerPriority() {
  ::setpriority(PRIO_PROCESS, 0, 10);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
}

void writeFailure(const std::string& directory, const std::string& reason) {
  try {
    const std::string record = nlohmann::json{{"stage", "background"}, {"reason", reason}}.dump();
    fs::writeFileAtomically(directory + "/failure.json", record);
  } catch (...) {
    // A failure record that cannot be written does not change the outcome.
  }
}

bool isNoSpace(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const InstallFailure& failure) {
    return failure.isNoSpace();
  } catch (...) {
    return false;
  }
}

}  // namespace

int32_t runPreparation(bool discardOnly) {
  const std::string& directory = helperProcess().directory;
  PreparedStore store(directory);
  if (discardOnly) {
    store.discard();
    return 0;
  }

  lowerPriority();
  ::unlink((directory + "/failure.json").c_str());

  bool requestRead = false;
  try {
    const PrepareRequest request = store.readRequest();
    requestRead = true;
    store.prepare(request);
    return 0;
  } catch (...) {
    // Cancellation wins over whatever the cancelled work failed with.
    if (ChildProcesses::shared().isCancelled()) return 5;
    const std::exception_ptr error = std::current_exception();
    writeFailure(directory, failureReason(error));
    if (isNoSpace(error)) return 4;
    return requestRead ? 1 : 2;
  }
}

}  // namespace mirelo
