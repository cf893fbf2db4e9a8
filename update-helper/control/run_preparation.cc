#include "update-helper/control/run_preparation.h"

namespace mirelo {

int32_t runPreparation(bool /*discardOnly*/) {
  // Preparation and discard are not available in this build yet.
  return 2;
}

}  // namespace mirelo
