#include "update-helper/common/helper_process.h"

namespace mirelo {

HelperProcess& helperProcess() {
  static HelperProcess state;
  return state;
}

}  // namespace mirelo
