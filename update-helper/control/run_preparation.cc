#include "update-helper/control/run_preparation.h"

#include "update-helper/control/helper_process.h"
#include "update-helper/store/prepared_store.h"

namespace mirelo {

int32_t runPreparation(bool discardOnly) {
  PreparedStore store(helperProcess().directory);
  if (discardOnly) {
    // Nothing else happens in a discard: no priority change, no failure record.
    store.discard();
    return 0;
  }
  // Preparation is not available in this build yet.
  return 2;
}

}  // namespace mirelo
