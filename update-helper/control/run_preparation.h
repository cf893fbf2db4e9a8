#pragma once

#include <cstdint>

namespace mirelo {

// The body of --prepare (discardOnly false) and --discard (discardOnly true) on the work
// directory of helperProcess(); returns the exit code of the process.
int32_t runPreparation(bool discardOnly);

}  // namespace mirelo
