#include "update-helper/common/version.h"

#include "platform/pattern.h"

namespace mirelo {

bool isVersionText(std::string_view version) {
  static const Pattern kVersion("[0-9A-Za-z.+_-]{1,64}");
  return kVersion.matchesWhole(version);
}

}  // namespace mirelo
