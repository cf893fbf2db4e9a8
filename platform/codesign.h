#pragma once

// Code signatures of our own, standing in for the platform's code-signing services.
//
// A bundle is signed with a developer's Ed25519 key. The signature is three files in
// "Contents/_CodeSignature/" (format: platform/codesign_format.h):
//   CodeDirectory  the bundle identifier, the signer's public key, and the SHA-256 of
//                  Contents/Info.plist, of the main executable and of CodeResources;
//   CodeResources  the resource seal: every other file and link of the bundle with the
//                  SHA-256 of its content or link target, and each nested bundle with the
//                  hash of its own code directory;
//   CodeSignature  the 64-byte Ed25519 signature over the exact bytes of CodeDirectory.
// The unique identifier of a signature (the cdhash) is the first 20 bytes of the SHA-256 of
// the code directory. Nothing here ever follows a link inside a bundle: files are opened
// component by component with O_NOFOLLOW, and links are sealed and checked by their target
// text.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace mirelo::codesign {

// Validity flags, with the values of the platform's code-signing services.
inline constexpr uint32_t kCheckAllArchitectures = 1;  // accepted: there is one architecture
inline constexpr uint32_t kDoNotValidateResources = 4;  // skip the resource seal's files
inline constexpr uint32_t kCheckNestedCode = 8;         // nested bundles must be valid too
inline constexpr uint32_t kStrictValidate = 16;         // nothing unsealed, no link leads out
inline constexpr uint32_t kValidityFlags =
    kCheckAllArchitectures | kDoNotValidateResources | kCheckNestedCode | kStrictValidate;

using PublicKey = std::array<unsigned char, 32>;

// Every failure of this layer: no signature, a broken one, a bundle that does not match it,
// an unsatisfied requirement, a malformed requirement text, a key that cannot be used. The
// text says why, for the signing tool to show.
class SignatureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A code requirement: `identifier "<bundle identifier>" and key "<64 lower-case hex digits>"`.
// A bundle satisfies it when its signed identifier and its signing key both match exactly.
class Requirement {
 public:
  Requirement(std::string identifier, const PublicKey& key);

  // Parses the requirement language above (any whitespace between the tokens; the key in
  // either case). Throws SignatureError.
  static Requirement parse(std::string_view text);

  const std::string& identifier() const { return identifier_; }
  const PublicKey& key() const { return key_; }
  // The canonical text, with the key in lower case.
  std::string text() const;

  bool isSatisfiedBy(std::string_view identifier, const PublicKey& key) const {
    return identifier == identifier_ && key == key_;
  }

 private:
  std::string identifier_;
  PublicKey key_;
};

struct SigningInformation {
  std::string identifier;
  // The code-directory hash (20 bytes).
  std::vector<unsigned char> unique;
};

// A signed bundle on disk, known by the folder that was opened when the object was made; its
// code directory, signature and seal are read once, at creation.
class StaticCode {
 public:
  // Opens the bundle folder (the path's last component must not be a link) and reads its
  // signature. Throws SignatureError when there is no readable, well-formed signature.
  static StaticCode createWithPath(const std::filesystem::path& bundle);

  StaticCode(StaticCode&&) noexcept;
  StaticCode& operator=(StaticCode&&) noexcept;
  ~StaticCode();

  const std::filesystem::path& path() const { return path_; }

  // `identifier "<signed identifier>" and key "<signing key>"`.
  Requirement designatedRequirement() const;

  // Checks the signature with `flags` (kValidityFlags bits) and, when given, `requirement`.
  // Always: the signature verifies and the Info.plist, executable and seal digests match.
  // Unless kDoNotValidateResources: every sealed file, link and nested bundle is present and
  // matches. kStrictValidate: nothing exists that the seal does not list and no link inside
  // the bundle leads outside it. kCheckNestedCode: every nested bundle is valid under the
  // same flags. Throws SignatureError with the first failure found.
  void checkValidity(uint32_t flags, const Requirement* requirement) const;

  SigningInformation signingInformation() const;

 private:
  struct Parsed;
  static StaticCode open(std::filesystem::path path, UniqueFd folder);
  StaticCode(std::filesystem::path path, UniqueFd folder, std::unique_ptr<const Parsed> parsed);

  void checkResources(uint32_t flags) const;
  void checkNested(uint32_t flags) const;

  std::filesystem::path path_;
  UniqueFd folder_;
  std::unique_ptr<const Parsed> parsed_;
};

// A new Ed25519 private key as PKCS#8 PEM text.
std::string generatePrivateKey();

// Signs `bundle` with the PKCS#8 PEM private key: nested bundles (folders with their own
// Contents/Info.plist directly under Contents/Frameworks, PlugIns, Helpers or XPCServices)
// first, each on its own, then the bundle. The identifier is the bundle's
// CFBundleIdentifier. Throws SignatureError or std::system_error.
void signBundle(const std::filesystem::path& bundle, std::string_view privateKeyPem);

}  // namespace mirelo::codesign
