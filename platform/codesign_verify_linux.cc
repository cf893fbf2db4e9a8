#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <system_error>

#include "platform/codesign.h"
#include "platform/codesign_format.h"
#include "platform/tree.h"

namespace mirelo::codesign {

using format::Seal;
using format::SealKind;

namespace {

// Links are resolved by hand, by their target texts; a longer chain than this is refused.
constexpr int kMaxLinkHops = 40;

std::string describe(const std::system_error& error) { return error.code().message(); }

std::string readSignatureFile(int folderFd, const char* name) {
  UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status;
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw SignatureError(std::string("signature file ") + name + " is missing or unreadable");
  }
  try {
    return readAll(fd.get(), format::kMaxFileBytes);
  } catch (const std::system_error& error) {
    throw SignatureError(std::string("signature file ") + name + " cannot be read: " + describe(error));
  }
}

bool verifySignature(const PublicKey& key, std::string_view message, std::string_view signature) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()), &EVP_PKEY_free);
  if (!publicKey) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::deque<std::string> split(std::string_view path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string join(const std::deque<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

// Whether the link at `linkPath` (relative to the bundle folder) resolves to a place inside
// the bundle. The target is resolved component by component against the tree, reading the
// target of every link met on the way instead of letting the system follow it; the bundle
// folder itself counts as inside, and a component that does not exist ends the lookups (the
// rest is folded as text).
bool staysInside(int rootFd, const std::string& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/') return false;
  std::deque<std::string> place = split(linkPath);
  place.pop_back();
  std::deque<std::string> pending = split(target);
  int hops = 0;
  bool exists = true;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (place.empty()) return false;
      place.pop_back();
      continue;
    }
    place.push_back(std::move(part));
    if (!exists) continue;
    struct stat status;
    std::string here = join(place);
    if (::fstatat(rootFd, here.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      exists = false;
      continue;
    }
    if (!S_ISLNK(status.st_mode)) continue;
    if (++hops > kMaxLinkHops) return false;
    std::string next;
    try {
      next = format::linkTarget(rootFd, here.c_str());
    } catch (const std::system_error&) {
      return false;
    }
    if (next.empty() || next.front() == '/') return false;
    place.pop_back();
    std::deque<std::string> inner = split(next);
    pending.insert(pending.begin(), inner.begin(), inner.end());
  }
  return true;
}

bool isSignatureFile(std::string_view name) {
  return name == format::kDirectoryName || name == format::kResourcesName || name == format::kSignatureName;
}

void skipSpace(std::string_view text, size_t& at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
}

bool expectWord(std::string_view text, size_t& at, std::string_view word) {
  if (text.substr(at, word.size()) != word) return false;
  at += word.size();
  return true;
}

std::optional<std::string> quoted(std::string_view text, size_t& at) {
  if (at >= text.size() || text[at] != '"') return std::nullopt;
  size_t end = text.find('"', at + 1);
  if (end == std::string_view::npos) return std::nullopt;
  std::string value(text.substr(at + 1, end - at - 1));
  at = end + 1;
  return value;
}

}  // namespace

struct StaticCode::Parsed {
  std::string directoryBytes;
  std::string signature;
  std::string sealBytes;
  format::Directory directory;
  Seal seal;
};

Requirement::Requirement(std::string identifier, const PublicKey& key) : identifier_(std::move(identifier)), key_(key) {}

Requirement Requirement::parse(std::string_view text) {
  size_t at = 0;
  auto fail = [&]() -> SignatureError { return SignatureError("malformed requirement: " + std::string(text)); };
  skipSpace(text, at);
  if (!expectWord(text, at, "identifier")) throw fail();
  skipSpace(text, at);
  std::optional<std::string> identifier = quoted(text, at);
  if (!identifier || !format::isValidIdentifier(*identifier)) throw fail();
  skipSpace(text, at);
  if (!expectWord(text, at, "and")) throw fail();
  size_t before = at;
  skipSpace(text, at);
  if (at == before || !expectWord(text, at, "key")) throw fail();
  skipSpace(text, at);
  std::optional<std::string> keyText = quoted(text, at);
  if (!keyText) throw fail();
  std::optional<std::string> raw = format::fromHex(*keyText, PublicKey().size(), true);
  if (!raw) throw fail();
  skipSpace(text, at);
  if (at != text.size()) throw fail();
  PublicKey key{};
  std::memcpy(key.data(), raw->data(), key.size());
  return Requirement(std::move(*identifier), key);
}

std::string Requirement::text() const {
  return "identifier \"" + identifier_ + "\" and key \"" + lowerHex(key_) + "\"";
}

StaticCode::StaticCode(std::filesystem::path path, UniqueFd folder, std::unique_ptr<const Parsed> parsed)
    : path_(std::move(path)), folder_(std::move(folder)), parsed_(std::move(parsed)) {}
StaticCode::StaticCode(StaticCode&&) noexcept = default;
StaticCode& StaticCode::operator=(StaticCode&&) noexcept = default;
StaticCode::~StaticCode() = default;

StaticCode StaticCode::createWithPath(const std::filesystem::path& bundle) {
  UniqueFd folder;
  try {
    folder = openFolder(bundle, false);
  } catch (const std::system_error& error) {
    throw SignatureError("cannot open bundle folder: " + describe(error));
  }
  return open(bundle, std::move(folder));
}

StaticCode StaticCode::open(std::filesystem::path path, UniqueFd folder) {
  UniqueFd signatureFolder;
  try {
    signatureFolder = openBeneath(folder.get(), format::kSignatureFolder, O_RDONLY | O_DIRECTORY);
  } catch (const std::system_error&) {
    throw SignatureError("code object is not signed at all");
  }
  auto parsed = std::make_unique<Parsed>();
  parsed->directoryBytes = readSignatureFile(signatureFolder.get(), format::kDirectoryName);
  parsed->signature = readSignatureFile(signatureFolder.get(), format::kSignatureName);
  parsed->sealBytes = readSignatureFile(signatureFolder.get(), format::kResourcesName);
  parsed->directory = format::parseDirectory(parsed->directoryBytes);
  parsed->seal = format::parseSeal(parsed->sealBytes);
  if (parsed->signature.size() != 64) throw SignatureError("malformed signature");
  return StaticCode(std::move(path), std::move(folder), std::move(parsed));
}

Requirement StaticCode::designatedRequirement() const {
  return Requirement(parsed_->directory.identifier, parsed_->directory.key);
}

SigningInformation StaticCode::signingInformation() const {
  std::string cdhash = format::cdhashOf(parsed_->directoryBytes);
  return SigningInformation{parsed_->directory.identifier, std::vector<unsigned char>(cdhash.begin(), cdhash.end())};
}

void StaticCode::checkValidity(uint32_t flags, const Requirement* requirement) const {
  if ((flags & ~kValidityFlags) != 0) throw SignatureError("invalid validity flags");
  const format::Directory& directory = parsed_->directory;
  if (!verifySignature(directory.key, parsed_->directoryBytes, parsed_->signature)) {
    throw SignatureError("invalid signature (code or signature have been modified)");
  }
  struct stat rootStatus;
  if (::fstat(folder_.get(), &rootStatus) != 0) throw SignatureError("cannot examine the bundle folder");
  if (std::optional<std::string> refused = format::refusedMode(rootStatus.st_mode)) {
    throw SignatureError("the bundle folder " + *refused);
  }
  const format::FileDigest plist = format::hashBeneath(folder_.get(), format::kInfoPlist);
  if (plist.digest != directory.infoPlist || plist.mode != directory.infoPlistMode) {
    throw SignatureError("Info.plist does not match the signature");
  }
  if (directory.executable) {
    const format::FileDigest program = format::hashBeneath(folder_.get(), format::kExecutableFolder + *directory.executable);
    if (program.digest != directory.executableDigest || program.mode != directory.executableMode) {
      throw SignatureError("main executable does not match the signature");
    }
  }
  if (Sha256::of(parsed_->sealBytes) != directory.resources) {
    throw SignatureError("resource seal does not match the signature");
  }
  if (requirement != nullptr && !requirement->isSatisfiedBy(directory.identifier, directory.key)) {
    throw SignatureError("code does not satisfy the requirement");
  }
  if ((flags & kDoNotValidateResources) == 0 || (flags & kStrictValidate) != 0) checkResources(flags);
  if ((flags & kCheckNestedCode) != 0) checkNested(flags);
}

void StaticCode::checkResources(uint32_t flags) const {
  const bool validate = (flags & kDoNotValidateResources) == 0;
  const bool strict = (flags & kStrictValidate) != 0;
  const format::Directory& directory = parsed_->directory;
  const std::string signaturePrefix = std::string(format::kSignatureFolder) + "/";
  const std::string executable =
      directory.executable ? format::kExecutableFolder + *directory.executable : std::string();
  size_t found = 0;

  UniqueFd root(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throw SignatureError("cannot walk the bundle: " + std::generic_category().message(errno));
  std::optional<TreeWalk> walk;
  try {
    walk.emplace(std::move(root), false);
    while (const WalkEntry* entry = walk->next()) {
      const std::string& path = entry->path;
      if (entry->statError != 0) {
        throw SignatureError(path + " cannot be examined: " + std::generic_category().message(entry->statError));
      }
      if (std::optional<std::string> refused = format::refusedMode(entry->status.st_mode)) {
        throw SignatureError(path + " " + *refused);
      }
      if (path.compare(0, signaturePrefix.size(), signaturePrefix) == 0) {
        if (strict && !(entry->isRegularFile() && isSignatureFile(path.substr(signaturePrefix.size())))) {
          throw SignatureError("file not in the signature: " + path);
        }
        continue;
      }
      if (path == format::kSignatureFolder || path == format::kInfoPlist || path == executable) continue;

      auto sealed = parsed_->seal.find(path);
      if (sealed == parsed_->seal.end()) {
        if (strict) throw SignatureError("file not in the resource seal: " + path);
        continue;
      }
      ++found;
      const format::SealEntry& seal = sealed->second;
      switch (seal.kind) {
        case SealKind::kFile: {
          if (!entry->isRegularFile()) throw SignatureError("sealed resource was replaced: " + path);
          if (!validate) break;
          if ((entry->status.st_mode & 0777) != seal.mode) {
            throw SignatureError("sealed resource changed its mode: " + path);
          }
          UniqueFd fd(::openat(entry->parentFd, entry->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
          if (!fd) throw SignatureError(path + " cannot be opened: " + std::generic_category().message(errno));
          Sha256Digest digest = format::hashRegularFile(fd.get(), path);
          if (std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()) != seal.digest) {
            throw SignatureError("sealed resource was modified: " + path);
          }
          break;
        }
        case SealKind::kLink: {
          if (!entry->isLink()) throw SignatureError("sealed resource was replaced: " + path);
          if (!validate && !strict) break;
          std::string target = format::linkTarget(entry->parentFd, entry->name);
          if (validate) {
            Sha256Digest digest = Sha256::of(target);
            if (std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()) != seal.digest) {
              throw SignatureError("sealed link was retargeted: " + path);
            }
          }
          if (strict && !staysInside(folder_.get(), path, target)) {
            throw SignatureError("link points outside the bundle: " + path);
          }
          break;
        }
        case SealKind::kFolder:
          if (!entry->isDirectory()) throw SignatureError("sealed folder was replaced: " + path);
          break;
        case SealKind::kNested: {
          if (!entry->isDirectory()) throw SignatureError("nested code was replaced: " + path);
          walk->skipDescendants();
          if (!validate) break;
          std::string bytes;
          try {
            UniqueFd fd = openBeneath(entry->parentFd,
                                      std::string(entry->name) + "/" + format::kSignatureFolder + "/" +
                                          format::kDirectoryName,
                                      O_RDONLY | O_NONBLOCK);
            bytes = readAll(fd.get(), format::kMaxFileBytes);
          } catch (const std::system_error&) {
            throw SignatureError("nested code is not signed: " + path);
          }
          if (format::cdhashOf(bytes) != seal.digest) throw SignatureError("nested code was modified: " + path);
          break;
        }
      }
    }
  } catch (const std::system_error& error) {
    throw SignatureError("cannot walk the bundle: " + describe(error));
  }
  if (validate && found != parsed_->seal.size()) {
    // Name the first sealed item that the walk did not meet.
    for (const auto& [path, seal] : parsed_->seal) {
      struct stat status;
      bool present = ::fstatat(folder_.get(), path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
      if (!present) throw SignatureError("sealed resource is missing: " + path);
    }
    throw SignatureError("sealed resources are missing");
  }
}

void StaticCode::checkNested(uint32_t flags) const {
  try {
    format::forEachNestedBundle(folder_.get(), [&](const std::string& path, UniqueFd nestedFolder) {
      try {
        StaticCode nested = open(path_ / path, std::move(nestedFolder));
        nested.checkValidity(flags, nullptr);
      } catch (const SignatureError& error) {
        throw SignatureError("nested code is not valid: " + path + ": " + error.what());
      } catch (const std::system_error& error) {
        throw SignatureError("nested code is not valid: " + path + ": " + describe(error));
      }
    });
  } catch (const std::system_error& error) {
    throw SignatureError("cannot walk the nested code: " + describe(error));
  }
}

}  // namespace mirelo::codesign
