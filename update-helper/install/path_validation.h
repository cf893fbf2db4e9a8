#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mirelo {

// Link entry names and their targets, as the archive listing found them.
using ArchiveLinks = std::vector<std::pair<std::string, std::string>>;

}  // namespace mirelo

namespace mirelo::path_validation {

// Whether the rules on the names themselves (seen keys, "/", "\", CR, LF, "..") still have
// to be applied, or have already passed for exactly these paths. Only link resolution
// depends on the links, so a second validation of the same names with links found later
// needs nothing else.
enum class NameRules { kApply, kAlreadyPassed };

// The path rules of an archive (AtomicInstall::validatePaths is validate with kApply): every
// entry name and every link target must stay inside the one bundle `root`. Throws the
// rule's InstallFailure.
void validate(const std::vector<std::string>& paths, const ArchiveLinks& links, const std::string& root,
              NameRules names);

}  // namespace mirelo::path_validation
