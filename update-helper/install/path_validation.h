#pragma once

#include <string>
#include <vector>

#include "update-helper/install/atomic_install.h"

namespace mirelo::path_validation {

// Whether the rules on the names themselves (seen keys, "/", "\", CR, LF, "..") still have
// to be applied, or have already passed for exactly these paths. Only link resolution
// depends on the links, so a second validation of the same names with links found later
// needs nothing else.
enum class NameRules { kApply, kAlreadyPassed };

// AtomicInstall::validatePaths, with the choice above.
void validate(const std::vector<std::string>& paths, const ArchiveLinks& links, const std::string& root,
              NameRules names);

}  // namespace mirelo::path_validation
