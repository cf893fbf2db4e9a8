#include "platform/codesign_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/errno_error.h"
#include "platform/tree.h"

namespace mirelo::codesign::format {
namespace {

const char kDirectoryMagic[] = "mirelo-code-directory 2";
const char kSealMagic[] = "mirelo-resource-seal 2";

[[noreturn]] void malformed(const char* what) { throw SignatureError(std::string("malformed ") + what); }

std::string percentEncode(std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x21 || c == '%' || c == 0x7F) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexValue(char c, bool anyCase) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (anyCase && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int upperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x21 || c == 0x7F) return std::nullopt;
    if (c != '%') {
      out += static_cast<char>(c);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    // The encoder writes upper-case digits only; a lower-case escape would be a second
    // text for the same name.
    int high = upperHexValue(text[i + 1]);
    int low = upperHexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    unsigned char decoded = static_cast<unsigned char>(high * 16 + low);
    // Only bytes that the encoder escapes may be escaped, so each text has one encoding.
    if (!(decoded < 0x21 || decoded == '%' || decoded == 0x7F)) return std::nullopt;
    out += static_cast<char>(decoded);
    i += 2;
  }
  return out;
}

// Splits text into lines; every line must end in "\n".
std::vector<std::string_view> lines(std::string_view bytes, const char* what) {
  std::vector<std::string_view> result;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) malformed(what);
    result.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// "<label> <rest>" -> rest.
std::string_view field(std::string_view line, std::string_view label, const char* what) {
  if (line.size() <= label.size() + 1 || line.substr(0, label.size()) != label || line[label.size()] != ' ') {
    malformed(what);
  }
  return line.substr(label.size() + 1);
}

template <size_t N>
std::array<unsigned char, N> digestField(std::string_view text, const char* what) {
  std::optional<std::string> raw = fromHex(text, N);
  if (!raw) malformed(what);
  std::array<unsigned char, N> digest{};
  std::memcpy(digest.data(), raw->data(), N);
  return digest;
}

std::string modeText(mode_t mode) {
  char text[5] = {static_cast<char>('0' + ((mode >> 9) & 7)), static_cast<char>('0' + ((mode >> 6) & 7)),
                  static_cast<char>('0' + ((mode >> 3) & 7)), static_cast<char>('0' + (mode & 7)), '\0'};
  return text;
}

mode_t modeField(std::string_view text, const char* what) {
  if (text.size() != 4) malformed(what);
  mode_t mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') malformed(what);
    mode = mode * 8 + static_cast<mode_t>(c - '0');
  }
  if (refusedMode(S_IFREG | mode)) malformed(what);
  return mode;
}

// Cuts "a b rest" at its first space.
std::pair<std::string_view, std::string_view> firstWord(std::string_view text, const char* what) {
  size_t space = text.find(' ');
  if (space == std::string_view::npos) malformed(what);
  return {text.substr(0, space), text.substr(space + 1)};
}

}  // namespace

std::optional<std::string> refusedMode(mode_t mode) {
  if (S_ISLNK(mode)) return std::nullopt;
  if ((mode & (S_ISUID | S_ISGID | S_ISVTX)) != 0) return "has a set-id or sticky bit";
  if ((mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
  if (S_ISDIR(mode) && (mode & S_IRWXU) != S_IRWXU) return "is a folder without full access for its owner";
  return std::nullopt;
}

bool isNestedBundlePlace(std::string_view path) {
  for (const char* folder : kNestedFolders) {
    std::string prefix = std::string("Contents/") + folder + "/";
    if (path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix &&
        path.find('/', prefix.size()) == std::string_view::npos) {
      return true;
    }
  }
  return false;
}

std::string toHex(std::string_view bytes) {
  return lowerHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::optional<std::string> fromHex(std::string_view text, size_t size, bool anyCase) {
  if (text.size() != size * 2) return std::nullopt;
  std::string raw(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    int high = hexValue(text[2 * i], anyCase);
    int low = hexValue(text[2 * i + 1], anyCase);
    if (high < 0 || low < 0) return std::nullopt;
    raw[i] = static_cast<char>(high * 16 + low);
  }
  return raw;
}

bool isValidIdentifier(std::string_view identifier) {
  if (identifier.empty()) return false;
  for (unsigned char c : identifier) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') return false;
  }
  return true;
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string encodeDirectory(const Directory& directory) {
  std::string out;
  out += kDirectoryMagic;
  out += "\nidentifier " + percentEncode(directory.identifier);
  out += "\nkey " + lowerHex(directory.key);
  out += "\ninfo-plist " + lowerHex(directory.infoPlist) + " " + modeText(directory.infoPlistMode);
  if (directory.executable) {
    out += "\nexecutable " + lowerHex(directory.executableDigest) + " " + modeText(directory.executableMode) + " " +
           percentEncode(*directory.executable);
  } else {
    out += "\nexecutable none";
  }
  out += "\nresources " + lowerHex(directory.resources);
  out += "\n";
  return out;
}

Directory parseDirectory(std::string_view bytes) {
  const char* what = "code directory";
  std::vector<std::string_view> all = lines(bytes, what);
  if (all.size() != 6 || all[0] != kDirectoryMagic) malformed(what);
  Directory directory;
  std::optional<std::string> identifier = percentDecode(field(all[1], "identifier", what));
  if (!identifier || !isValidIdentifier(*identifier)) malformed(what);
  directory.identifier = std::move(*identifier);
  directory.key = digestField<32>(field(all[2], "key", what), what);
  auto [plistDigest, plistMode] = firstWord(field(all[3], "info-plist", what), what);
  directory.infoPlist = digestField<32>(plistDigest, what);
  directory.infoPlistMode = modeField(plistMode, what);
  std::string_view executable = field(all[4], "executable", what);
  if (executable != "none") {
    auto [digest, rest] = firstWord(executable, what);
    auto [mode, encodedName] = firstWord(rest, what);
    directory.executableDigest = digestField<32>(digest, what);
    directory.executableMode = modeField(mode, what);
    std::optional<std::string> name = percentDecode(encodedName);
    if (!name || !isPlainName(*name)) malformed(what);
    directory.executable = std::move(*name);
  }
  directory.resources = digestField<32>(field(all[5], "resources", what), what);
  return directory;
}

std::string encodeSeal(const Seal& seal) {
  std::string out = kSealMagic;
  out += '\n';
  for (const auto& [path, entry] : seal) {
    switch (entry.kind) {
      case SealKind::kFile: out += "file " + toHex(entry.digest) + " " + modeText(entry.mode) + " "; break;
      case SealKind::kLink: out += "link " + toHex(entry.digest) + " "; break;
      case SealKind::kFolder: out += "folder "; break;
      case SealKind::kNested: out += "nested " + toHex(entry.digest) + " "; break;
    }
    out += percentEncode(path) + "\n";
  }
  return out;
}

Seal parseSeal(std::string_view bytes) {
  const char* what = "resource seal";
  std::vector<std::string_view> all = lines(bytes, what);
  if (all.empty() || all[0] != kSealMagic) malformed(what);
  Seal seal;
  const std::string* previous = nullptr;
  for (size_t i = 1; i < all.size(); ++i) {
    std::string_view line = all[i];
    size_t space = line.find(' ');
    if (space == std::string_view::npos) malformed(what);
    std::string_view label = line.substr(0, space);
    std::string_view rest = line.substr(space + 1);
    SealEntry entry{SealKind::kFolder, {}, 0};
    size_t digestBytes = 32;
    if (label == "file") {
      entry.kind = SealKind::kFile;
    } else if (label == "link") {
      entry.kind = SealKind::kLink;
    } else if (label == "folder") {
      digestBytes = 0;
    } else if (label == "nested") {
      entry.kind = SealKind::kNested;
      digestBytes = kCdhashBytes;
    } else {
      malformed(what);
    }
    if (digestBytes != 0) {
      auto [digestText, afterDigest] = firstWord(rest, what);
      std::optional<std::string> digest = fromHex(digestText, digestBytes);
      if (!digest) malformed(what);
      entry.digest = std::move(*digest);
      rest = afterDigest;
    }
    if (entry.kind == SealKind::kFile) {
      auto [modeText, afterMode] = firstWord(rest, what);
      entry.mode = modeField(modeText, what);
      rest = afterMode;
    }
    std::optional<std::string> path = percentDecode(rest);
    if (!path || path->empty() || path->front() == '/' || path->back() == '/') malformed(what);
    if (entry.kind == SealKind::kNested && !isNestedBundlePlace(*path)) malformed(what);
    for (size_t start = 0; start <= path->size();) {
      size_t slash = path->find('/', start);
      if (slash == std::string::npos) slash = path->size();
      if (!isPlainName(std::string_view(*path).substr(start, slash - start))) malformed(what);
      start = slash + 1;
    }
    if (previous != nullptr && !(*previous < *path)) malformed(what);
    auto inserted = seal.emplace(std::move(*path), std::move(entry));
    previous = &inserted.first->first;
  }
  return seal;
}

std::string cdhashOf(std::string_view directoryBytes) {
  Sha256Digest digest = Sha256::of(directoryBytes);
  return std::string(reinterpret_cast<const char*>(digest.data()), kCdhashBytes);
}

}  // namespace mirelo::codesign::format

namespace mirelo::codesign::format {

Sha256Digest hashRegularFile(int fd, const std::string& what) {
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) throw SignatureError(what + " is not a regular file");
  constexpr size_t kChunk = 1u << 18;
  thread_local std::unique_ptr<char[]> buffer(new char[kChunk]);
  Sha256 hash;
  for (;;) {
    ssize_t n = ::read(fd, buffer.get(), kChunk);
    if (n > 0) {
      hash.update(buffer.get(), static_cast<size_t>(n));
    } else if (n == 0) {
      return hash.finish();
    } else if (errno != EINTR) {
      throw SignatureError(what + " cannot be read: " + std::generic_category().message(errno));
    }
  }
}

FileDigest hashBeneath(int folderFd, const std::string& relative) {
  UniqueFd fd;
  try {
    fd = openBeneath(folderFd, relative, O_RDONLY | O_NONBLOCK);
  } catch (const std::system_error& error) {
    throw SignatureError(relative + " cannot be opened: " + error.code().message());
  }
  FileDigest result;
  result.digest = hashRegularFile(fd.get(), relative);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) throw SignatureError(relative + " cannot be examined");
  if (std::optional<std::string> refused = refusedMode(status.st_mode)) throw SignatureError(relative + " " + *refused);
  result.mode = status.st_mode & 0777;
  return result;
}

void forEachNestedBundle(int bundleFd, const std::function<void(const std::string& path, UniqueFd folder)>& visit) {
  for (const char* folderName : kNestedFolders) {
    const std::string place = std::string("Contents/") + folderName;
    UniqueFd placeFd;
    try {
      placeFd = openBeneath(bundleFd, place, O_RDONLY | O_DIRECTORY);
    } catch (const std::system_error&) {
      continue;
    }
    TreeWalk walk(std::move(placeFd), false);
    while (const WalkEntry* entry = walk.next()) {
      walk.skipDescendants();
      if (!entry->isDirectory()) continue;
      struct stat status;
      const std::string plist = std::string(entry->name) + "/" + kInfoPlist;
      if (::fstatat(entry->parentFd, plist.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
        continue;
      }
      // The Info.plist test went through the name; the folder must not be a link either.
      visit(place + "/" + entry->name, openBeneath(entry->parentFd, entry->name, O_RDONLY | O_DIRECTORY));
    }
  }
}

std::string linkTarget(int folderFd, const char* name) {
  std::string target(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(folderFd, name, target.data(), target.size());
    if (n < 0) throwErrno("readlinkat");
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace mirelo::codesign::format
