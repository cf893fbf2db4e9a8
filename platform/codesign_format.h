#pragma once

// The files of a signature, shared by signing and checking.
//
// All three live in "Contents/_CodeSignature/". CodeDirectory and CodeResources are UTF-8
// text, one field per line, each line ending in "\n", no other whitespace; identifiers and
// paths are percent-encoded (every byte below 0x21, "%" and 0x7F as "%XX", upper-case hex),
// so any file name fits on one line. Digests are lower-case hexadecimal.
//
//   CodeDirectory:                          CodeResources:
//     mirelo-code-directory 2                 mirelo-resource-seal 2
//     identifier <bundle identifier>          file <sha256 of content> <mode> <path>
//     key <Ed25519 public key, 64 hex>        link <sha256 of link target text> <path>
//     info-plist <sha256> <mode>              folder <path>
//     executable <sha256> <mode> <file name>  nested <cdhash, 40 hex> <path>
//       (or "executable none")                ...
//     resources <sha256 of CodeResources>
//
// A mode is the file's permission bits as four octal digits ("0644"). Seal paths are
// relative to the bundle folder, components joined by "/", strictly ascending in byte
// order. The seal lists every file, link and folder of the bundle except
// Contents/Info.plist, the main executable and Contents/_CodeSignature/ with what it holds;
// a nested bundle is one entry, and nothing inside it is listed. Nested bundles sit only
// directly under Contents/Frameworks, PlugIns, Helpers or XPCServices. CodeSignature holds
// the 64 raw bytes of the Ed25519 signature over the exact bytes of CodeDirectory.
//
// Permissions: nothing in a signed bundle may be writable by group or others or carry a
// set-user-id, set-group-id or sticky bit, and every folder must give its owner full
// access. Signing refuses such a bundle and checking refuses such an item, whatever the
// seal says; the sealed modes make any other change of a file's mode break the seal.

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign.h"
#include "platform/sha256.h"

namespace mirelo::codesign::format {

inline constexpr char kSignatureFolder[] = "Contents/_CodeSignature";
inline constexpr char kDirectoryName[] = "CodeDirectory";
inline constexpr char kResourcesName[] = "CodeResources";
inline constexpr char kSignatureName[] = "CodeSignature";
inline constexpr char kInfoPlist[] = "Contents/Info.plist";
inline constexpr char kExecutableFolder[] = "Contents/MacOS/";
inline constexpr size_t kMaxFileBytes = 64u << 20;
inline constexpr size_t kCdhashBytes = 20;
// Folders under Contents/ whose direct subfolders may be nested bundles.
inline constexpr const char* kNestedFolders[] = {"Frameworks", "PlugIns", "Helpers", "XPCServices"};

struct Directory {
  std::string identifier;
  PublicKey key{};
  Sha256Digest infoPlist{};
  mode_t infoPlistMode = 0;
  std::optional<std::string> executable;  // file name under Contents/MacOS
  Sha256Digest executableDigest{};
  mode_t executableMode = 0;
  Sha256Digest resources{};
};

enum class SealKind { kFile, kLink, kFolder, kNested };

struct SealEntry {
  SealKind kind;
  // Raw bytes: 32 for files and links, 20 (a cdhash) for nested bundles, none for folders.
  std::string digest;
  mode_t mode = 0;  // files only: the permission bits
};

// Ordered by path bytes.
using Seal = std::map<std::string, SealEntry>;

std::string encodeDirectory(const Directory& directory);
std::string encodeSeal(const Seal& seal);
// Both throw SignatureError for anything that is not exactly the format above.
Directory parseDirectory(std::string_view bytes);
Seal parseSeal(std::string_view bytes);

// The first 20 bytes of SHA-256 of the code directory's bytes.
std::string cdhashOf(std::string_view directoryBytes);

// True for a bundle identifier that can stand in a requirement: not empty, no control
// character, no '"' or '\'.
bool isValidIdentifier(std::string_view identifier);
// True for one path component that is not "." or "..".
bool isPlainName(std::string_view name);

std::string toHex(std::string_view bytes);
// Decodes exactly `size` bytes from lower-case hexadecimal (either case when `anyCase`).
std::optional<std::string> fromHex(std::string_view text, size_t size, bool anyCase = false);

// SHA-256 of a regular file's content, read from `fd`; throws SignatureError naming `what`
// when it is not a regular file or cannot be read.
Sha256Digest hashRegularFile(int fd, const std::string& what);

struct FileDigest {
  Sha256Digest digest{};
  mode_t mode = 0;  // permission bits
};
// The content digest and mode of the regular file `relative` below `folderFd`, opened
// component by component without following a link; throws SignatureError.
FileDigest hashBeneath(int folderFd, const std::string& relative);

// The permission rule above, for one item of a bundle given its lstat mode: the reason it
// is refused, or nothing when it may be signed. Links always pass.
std::optional<std::string> refusedMode(mode_t mode);

// Calls `visit` with the bundle-relative path and the open folder of every nested bundle of
// the bundle open at `bundleFd`: a folder directly under Contents/Frameworks, PlugIns,
// Helpers or XPCServices that holds a regular file Contents/Info.plist. Links are never
// followed. Throws std::system_error when one of those places cannot be walked.
void forEachNestedBundle(int bundleFd, const std::function<void(const std::string& path, UniqueFd folder)>& visit);
// Whether a seal path may name a nested bundle: directly under one of those four folders.
bool isNestedBundlePlace(std::string_view path);
// The target text of the link `name` in folder `folderFd`; throws std::system_error.
std::string linkTarget(int folderFd, const char* name);

}  // namespace mirelo::codesign::format
