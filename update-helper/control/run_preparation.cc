#include "update-helper/control/run_preparation.h"

#include <unistd.h>

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/fs.h"
#include "platform/priority.h"
#include "update-helper/control/failure_reason.h"
#include "update-helper/common/helper_process.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {
namespace {

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

  // The main thread does all the work and starts every child tool, which inherit it.
  lowerPriorityOfThisThread();
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
