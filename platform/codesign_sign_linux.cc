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

Sha256Digest hashBeneath(int folderFd, const std::string& relative) {
  UniqueFd fd;
  try {
    fd = openBeneath(folderFd, relative, O_RDONLY | O_NONBLOCK);
  } catch (const std::system_error& error) {
    throw SignatureError(relative + " cannot be opened: " + error.code().message());
  }
  return format::hashRegularFile(fd.get(), relative);
}

// Writes a file of the signature crash-safely: a temporary sibling, then a rename over the
// old one.
void writeSignatureFile(int folderFd, const std::string& name, std::string_view bytes) {
  std::string temporary = "." + name + ".new";
  ::unlinkat(folderFd, temporary.c_str(), 0);
  UniqueFd fd(::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) throwErrno("openat");
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::unlinkat(folderFd, temporary.c_str(), 0);
      throwErrno(error, "write");
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0) {
    int error = errno;
    ::unlinkat(folderFd, temporary.c_str(), 0);
    throwErrno(error, "renameat");
  }
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

  // Nested bundles first, so that their code directories are final when the seal names them.
  std::set<std::string> nested;
  for (const char* folderName : format::kNestedFolders) {
    std::string relative = std::string("Contents/") + folderName;
    UniqueFd nestedFolder;
    try {
      nestedFolder = openBeneath(folder.get(), relative, O_RDONLY | O_DIRECTORY);
    } catch (const std::system_error&) {
      continue;
    }
    TreeWalk walk(std::move(nestedFolder), false);
    while (const WalkEntry* entry = walk.next()) {
      walk.skipDescendants();
      if (!entry->isDirectory()) continue;
      struct stat status;
      std::string plist = std::string(entry->name) + "/" + format::kInfoPlist;
      if (::fstatat(entry->parentFd, plist.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
        continue;
      }
      sign(bundle / relative / entry->name, key);
      nested.insert(relative + "/" + entry->name);
    }
  }

  const std::string signaturePrefix = std::string(format::kSignatureFolder);
  const std::string executablePath = executable ? format::kExecutableFolder + *executable : std::string();
  format::Seal seal;
  UniqueFd root(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throwErrno("openat");
  TreeWalk walk(std::move(root), false);
  while (const WalkEntry* entry = walk.next()) {
    const std::string& path = entry->path;
    if (entry->statError != 0) throwErrno(entry->statError, "fstatat");
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
      continue;
    } else if (entry->isRegularFile()) {
      UniqueFd fd(::openat(entry->parentFd, entry->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
      if (!fd) throwErrno("openat");
      seal.emplace(path, format::SealEntry{SealKind::kFile, digestBytes(format::hashRegularFile(fd.get(), path))});
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
  directory.infoPlist = hashBeneath(folder.get(), format::kInfoPlist);
  if (executable) {
    directory.executable = executable;
    directory.executableDigest = hashBeneath(folder.get(), executablePath);
  }
  directory.resources = Sha256::of(sealBytes);
  std::string directoryBytes = format::encodeDirectory(directory);
  std::string signature = signBytes(key, directoryBytes);

  UniqueFd contents = openBeneath(folder.get(), "Contents", O_RDONLY | O_DIRECTORY);
  if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST) throwErrno("mkdirat");
  UniqueFd signatureFolder = openBeneath(contents.get(), "_CodeSignature", O_RDONLY | O_DIRECTORY);
  writeSignatureFile(signatureFolder.get(), format::kResourcesName, sealBytes);
  writeSignatureFile(signatureFolder.get(), format::kSignatureName, signature);
  writeSignatureFile(signatureFolder.get(), format::kDirectoryName, directoryBytes);
  if (::fsync(signatureFolder.get()) != 0) throwErrno("fsync");
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
