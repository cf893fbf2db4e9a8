#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <system_error>

#include "platform/codesign.h"
#include "platform/codesign_format.h"
#include "platform/errno_error.h"
#include "platform/fs.h"
#include "platform/property_list.h"
#include "platform/tree.h"

namespace mirelo::codesign {
namespace {

using format::SealKind;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

KeyPtr loadPrivateKey(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) throw SignatureError("cannot read the signing key");
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    throw SignatureError("the signing key is not an Ed25519 private key in PEM form");
  }
  return key;
}

PublicKey publicKeyOf(EVP_PKEY* key) {
  PublicKey raw{};
  size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size()) {
    throw SignatureError("cannot derive the public key");
  }
  return raw;
}

std::string signBytes(EVP_PKEY* key, std::string_view message) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::string signature(64, '\0');
  size_t length = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != 64) {
    throw SignatureError("signing failed");
  }
  return signature;
}

std::string digestBytes(const Sha256Digest& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// Refuses an item that the permission rule of the format does not allow.
void requireSignableMode(const std::filesystem::path& bundle, const std::string& path, mode_t mode) {
  if (std::optional<std::string> refused = format::refusedMode(mode)) {
    throw SignatureError(bundle.string() + ": cannot sign " + (path.empty() ? std::string(".") : path) + ": it " +
                         *refused);
  }
}

// The files of the signature are the bundle's too: the umask must not leave them writable
// by others.
void writeSignatureFile(const std::filesystem::path& folder, int folderFd, const char* name, std::string_view bytes) {
  fs::writeFileAtomically((folder / name).string(), bytes, 0644);
  if (::fchmodat(folderFd, name, 0644, 0) != 0) throwErrno("fchmodat");
}

void sign(const std::filesystem::path& bundle, EVP_PKEY* key) {
  UniqueFd folder = openFolder(bundle, false);
  std::optional<PropertyListDictionary> info = PropertyListDictionary::readBundleInfo(bundle);
  if (!info) throw SignatureError(bundle.string() + ": Contents/Info.plist is missing or not a dictionary");
  std::optional<std::string> identifier = info->string("CFBundleIdentifier");
  if (!identifier || !format::isValidIdentifier(*identifier)) {
    throw SignatureError(bundle.string() + ": no usable CFBundleIdentifier in Contents/Info.plist");
  }
  std::optional<std::string> executable = info->string("CFBundleExecutable");
  if (executable && !format::isPlainName(*executable)) {
    throw SignatureError(bundle.string() + ": CFBundleExecutable is not a plain file name");
  }

  struct stat rootStatus;
  if (::fstat(folder.get(), &rootStatus) != 0) throwErrno("fstat");
  requireSignableMode(bundle, "", rootStatus.st_mode);

  // Nested bundles first, so that their code directories are final when the seal names them.
  std::set<std::string> nested;
  format::forEachNestedBundle(folder.get(), [&](const std::string& path, UniqueFd) {
    sign(bundle / path, key);
    nested.insert(path);
  });

  const std::string signaturePrefix = std::string(format::kSignatureFolder);
  const std::string executablePath = executable ? format::kExecutableFolder + *executable : std::string();
  format::Seal seal;
  UniqueFd root(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throwErrno("openat");
  TreeWalk walk(std::move(root), false);
  while (const WalkEntry* entry = walk.next()) {
    const std::string& path = entry->path;
    if (entry->statError != 0) throwErrno(entry->statError, "fstatat");
    requireSignableMode(bundle, path, entry->status.st_mode);
    if (path == signaturePrefix) {
      walk.skipDescendants();
      continue;
    }
    if (path == format::kInfoPlist || path == executablePath) continue;
    if (nested.count(path) != 0) {
      walk.skipDescendants();
      UniqueFd fd = openBeneath(
          entry->parentFd, std::string(entry->name) + "/" + format::kSignatureFolder + "/" + format::kDirectoryName,
          O_RDONLY | O_NONBLOCK);
      seal.emplace(path, format::SealEntry{SealKind::kNested, format::cdhashOf(readAll(fd.get(), format::kMaxFileBytes))});
    } else if (entry->isDirectory()) {
      seal.emplace(path, format::SealEntry{SealKind::kFolder, {}});
    } else if (entry->isRegularFile()) {
      UniqueFd fd(::openat(entry->parentFd, entry->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
      if (!fd) throwErrno("openat");
      seal.emplace(path, format::SealEntry{SealKind::kFile, digestBytes(format::hashRegularFile(fd.get(), path)),
                                           entry->status.st_mode & 0777});
    } else if (entry->isLink()) {
      seal.emplace(path, format::SealEntry{SealKind::kLink,
                                           digestBytes(Sha256::of(format::linkTarget(entry->parentFd, entry->name)))});
    } else {
      throw SignatureError(bundle.string() + ": cannot seal " + path + ": not a file, folder or link");
    }
  }

  std::string sealBytes = format::encodeSeal(seal);
  format::Directory directory;
  directory.identifier = *identifier;
  directory.key = publicKeyOf(key);
  const format::FileDigest plist = format::hashBeneath(folder.get(), format::kInfoPlist);
  directory.infoPlist = plist.digest;
  directory.infoPlistMode = plist.mode;
  if (executable) {
    const format::FileDigest program = format::hashBeneath(folder.get(), executablePath);
    directory.executable = executable;
    directory.executableDigest = program.digest;
    directory.executableMode = program.mode;
  }
  directory.resources = Sha256::of(sealBytes);
  std::string directoryBytes = format::encodeDirectory(directory);
  std::string signature = signBytes(key, directoryBytes);

  UniqueFd contents = openBeneath(folder.get(), "Contents", O_RDONLY | O_DIRECTORY);
  if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST) throwErrno("mkdirat");
  UniqueFd signatureFolder = openBeneath(contents.get(), "_CodeSignature", O_RDONLY | O_DIRECTORY);
  if (::fchmod(signatureFolder.get(), 0755) != 0) throwErrno("fchmod");
  const std::filesystem::path signaturePath = bundle / format::kSignatureFolder;
  writeSignatureFile(signaturePath, signatureFolder.get(), format::kResourcesName, sealBytes);
  writeSignatureFile(signaturePath, signatureFolder.get(), format::kSignatureName, signature);
  writeSignatureFile(signaturePath, signatureFolder.get(), format::kDirectoryName, directoryBytes);
}

}  // namespace

std::string generatePrivateKey() {
  KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free);
  if (!key) throw SignatureError("cannot generate an Ed25519 key");
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw SignatureError("cannot encode the key");
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

void signBundle(const std::filesystem::path& bundle, std::string_view privateKeyPem) {
  KeyPtr key = loadPrivateKey(privateKeyPem);
  sign(bundle, key.get());
}

}  // namespace mirelo::codesign
