#pragma once

// The installed application's identity and designated requirement, and the checks of a
// candidate against them: bundle identifier, version and code signature.

#include <filesystem>
#include <memory>
#include <string>

namespace mirelo {

namespace codesign {
class StaticCode;
class Requirement;
}  // namespace codesign

// The installed application: its bundle (standardised, links resolved), the folder that
// holds it, its bundle identifier and its designated requirement. Copies share the
// requirement.
struct InstalledApplication {
  std::filesystem::path bundle;
  std::filesystem::path parent;
  std::string identifier;
  std::shared_ptr<const codesign::Requirement> requirement;
};

namespace install {

// AtomicInstall::inspectInstalled: resolves `bundle`, requires its folder to be on a volume
// that can exchange entries and to be writable, and reads its identifier and designated
// requirement ("Cannot verify installed application identity").
InstalledApplication inspectInstalled(const std::filesystem::path& bundle);
// AtomicInstall::requireIdentity: the candidate's identifier and short version must equal
// the installed identifier and `version` ("Update identity mismatch").
void requireIdentity(const std::filesystem::path& candidate, const InstalledApplication& installed,
                     const std::string& version);
// AtomicInstall::codeHash: the code-directory hash as lower-case hexadecimal text ("Cannot
// read update signature").
std::string codeHash(const codesign::StaticCode& code);
// codeHash of the bundle at `bundle`, which is opened as static code first ("Cannot read
// update signature" when it cannot be).
std::string inspectCodeHash(const std::filesystem::path& bundle);
// AtomicInstall::requireSignature: the signature without its resources against
// `requirement`, and the code-directory hash against `cdhash` ("Prepared update signature
// changed").
void requireSignature(const std::filesystem::path& bundle, const codesign::Requirement& requirement,
                      const std::string& cdhash);

}  // namespace install
}  // namespace mirelo
