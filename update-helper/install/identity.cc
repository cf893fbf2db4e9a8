#include "update-helper/install/identity.h"

#include <unistd.h>

#include "platform/codesign.h"
#include "platform/property_list.h"
#include "platform/resolve_path.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/install_messages.h"
#include "update-helper/install/volume.h"

namespace mirelo::install {
namespace {

const char kNotWritable[] = "Update folder is not writable";
const char kCannotVerifyInstalled[] = "Cannot verify installed application identity";
const char kIdentityMismatch[] = "Update identity mismatch";
using text::canonicallyEqual;

}  // namespace

InstalledApplication inspectInstalled(const std::filesystem::path& bundlePath) {
  std::filesystem::path bundle = resolveLinks(bundlePath);
  std::filesystem::path parent = bundle.parent_path();
  requireAPFS(parent);
  if (::access(parent.c_str(), W_OK) != 0) throw InstallFailure::invalid(kNotWritable);

  std::shared_ptr<const codesign::Requirement> requirement;
  try {
    codesign::StaticCode code = codesign::StaticCode::createWithPath(bundle);
    requirement = std::make_shared<const codesign::Requirement>(code.designatedRequirement());
  } catch (const codesign::SignatureError&) {
    throw InstallFailure::invalid(kCannotVerifyInstalled);
  }
  std::optional<PropertyListDictionary> info = PropertyListDictionary::readBundleInfo(bundle);
  std::optional<std::string> identifier = info ? info->string("CFBundleIdentifier") : std::nullopt;
  if (!identifier) throw InstallFailure::invalid(kCannotVerifyInstalled);
  return InstalledApplication{bundle, parent, *identifier, std::move(requirement)};
}

void requireIdentity(const std::filesystem::path& candidate, const InstalledApplication& installed,
                                    const std::string& version) {
  std::optional<PropertyListDictionary> info = PropertyListDictionary::readBundleInfo(candidate);
  if (!info) throw InstallFailure::invalid(kIdentityMismatch);
  std::optional<std::string> identifier = info->string("CFBundleIdentifier");
  if (!identifier || !canonicallyEqual(*identifier, installed.identifier)) {
    throw InstallFailure::invalid(kIdentityMismatch);
  }
  std::optional<std::string> shortVersion = info->string("CFBundleShortVersionString");
  if (!shortVersion || !canonicallyEqual(*shortVersion, version)) throw InstallFailure::invalid(kIdentityMismatch);
}

std::string codeHash(const codesign::StaticCode& code) {
  codesign::SigningInformation info;
  try {
    info = code.signingInformation();
  } catch (const codesign::SignatureError&) {
    throw InstallFailure::invalid(kCannotReadSignatureMessage);
  }
  if (info.unique.empty()) throw InstallFailure::invalid(kCannotReadSignatureMessage);
  return lowerHex(info.unique.data(), info.unique.size());
}

std::string inspectCodeHash(const std::filesystem::path& bundle) {
  std::optional<codesign::StaticCode> code;
  try {
    code.emplace(codesign::StaticCode::createWithPath(bundle));
  } catch (const codesign::SignatureError&) {
    throw InstallFailure::invalid(kCannotReadSignatureMessage);
  }
  return codeHash(*code);
}

void requireSignature(const std::filesystem::path& bundle, const codesign::Requirement& requirement,
                                     const std::string& cdhash) {
  std::optional<codesign::StaticCode> code;
  try {
    code.emplace(codesign::StaticCode::createWithPath(bundle));
    code->checkValidity(codesign::kDoNotValidateResources, &requirement);
  } catch (const codesign::SignatureError&) {
    throw InstallFailure::invalid(kSignatureChangedMessage);
  }
  if (codeHash(*code) != cdhash) throw InstallFailure::invalid(kSignatureChangedMessage);
}

}  // namespace mirelo::install
