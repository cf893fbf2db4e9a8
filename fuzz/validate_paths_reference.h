#pragma once

// The path rules written the slow, literal way: a stack of folder names, a queue of pieces,
// and every lookup folds the whole joined path. The fuzzer checks that the real validation
// reaches the same verdict with the same message.

#include <string>
#include <vector>

#include "update-helper/install/atomic_install.h"

namespace mirelo::fuzzing {

// The message of the first rejection, or empty when every path is safe.
std::string referenceValidatePaths(const std::vector<std::string>& paths, const ArchiveLinks& links,
                                   const std::string& root);

}  // namespace mirelo::fuzzing
