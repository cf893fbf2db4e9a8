// Vetting of an update archive before anything is extracted: the Info-ZIP listing tools
// describe the archive, and the path rules decide whether every entry stays in one bundle.
//
// What the tools print, and what this code relies on:
// - `zipinfo -1` prints one entry name per line and nothing else; `zipinfo -l` prints a
//   two-line header ("Archive:  ...", "Zip file size: ..."), one line per entry and a totals
//   line ("N files, ..."). Archive and entry comments are not printed. An archive without
//   entries makes both exit with status 1, a file that is not an archive with status 9.
// - Both print a name's C0 control characters in caret notation ("^A", "^J"), so a name
//   never spans lines and the two listings show a name identically. Other bytes are printed
//   as stored, whatever the locale: names that are not UTF-8 make the runner fail.
// - `unzip -p ARCHIVE MEMBER` matches MEMBER as a wildcard pattern ("*", "?", "[...]", and
//   "\" escapes) against the stored names. Link names with wildcard characters are refused
//   before it runs; backslashes never get this far, the path rules refuse them. A name shown
//   with caret notation matches no stored name, so unzip fails and so does the inspection.
// - Both tools also read the archive path itself as a wildcard pattern, so they are never
//   given the caller's path: they open the helper's own descriptor of the archive through
//   its /proc name, which has no wildcard characters.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text.h"
#include "update-helper/install/archive_inspection.h"
#include "update-helper/install/archive_listing.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/path_validation.h"
#include "update-helper/install/string_view_set.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo {
namespace {

constexpr size_t kMaxEntries = 99'999;
constexpr std::string_view kBundleSuffix = ".app";
constexpr std::string_view kWildcards = "*?[";

const char kZipinfo[] = "/usr/bin/zipinfo";
const char kUnzip[] = "/usr/bin/unzip";

const char kInvalidArchive[] = "Invalid update archive";
const char kNotOneApplication[] = "Archive must contain one application";
const char kBadLink[] = "Cannot inspect archive link";
const char kAmbiguousLink[] = "Ambiguous archive link name";

const char kUnsafeEntry[] = "Unsafe archive entry";
const char kToolFailed[] = "Update preparation failed";

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The one top-level name of the entries, which must name a bundle. Linux file systems do
// not fold names, so two spellings that are canonically equal but not byte-equal (U+212A
// KELVIN SIGN and "K") would be two folders on disk, one of them never checked: every
// entry must use the very same bytes.
std::string requireOneBundle(const std::vector<std::string>& entries) {
  std::string_view root = archive_listing::topLevelName(entries.front());
  for (const std::string& entry : entries) {
    if (archive_listing::topLevelName(entry) != root) throw InstallFailure::invalid(kNotOneApplication);
  }
  if (!root.ends_with(kBundleSuffix)) throw InstallFailure::invalid(kNotOneApplication);
  return std::string(root);
}

// The entry names under canonical equivalence, built only when a link line needs them.
class EntryIndex {
 public:
  explicit EntryIndex(const std::vector<std::string>& entries) : entries_(entries) {}

  bool contains(std::string_view name) {
    if (!keys_) build();
    return isAscii(name) ? keys_->contains(name) : keys_->contains(text::toNFC(name));
  }

 private:
  void build() {
    keys_.emplace(entries_.size());
    for (const std::string& entry : entries_) {
      keys_->insert(isAscii(entry) ? std::string_view(entry) : std::string_view(composed_.emplace_back(text::toNFC(entry))));
    }
  }

  const std::vector<std::string>& entries_;
  std::deque<std::string> composed_;
  std::optional<StringViewSet> keys_;
};

}  // namespace

namespace install {

OpenedArchive openArchive(const std::filesystem::path& archive) {
  const std::string path = std::filesystem::absolute(archive).string();
  if (path.find('\0') != std::string::npos) throw InstallFailure::invalid(kInvalidArchive);
  // An archive that cannot be opened, or that is not a regular file (a folder, a named pipe
  // that would block the tools), fails as the tools would have failed on it.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) throw InstallFailure::invalid(kToolFailed);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) throw InstallFailure::invalid(kToolFailed);
  OpenedArchive opened;
  opened.fingerprint = ArchiveFingerprint{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                                          static_cast<int64_t>(status.st_size),
                                          static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
                                              status.st_mtim.tv_nsec};
  // The tools run as the same user, so they may open the helper's descriptor by its /proc
  // name; opening it reopens this very file.
  opened.toolPath = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd.get());
  opened.fd = std::move(fd);
  return opened;
}

ArchiveContents inspectArchive(const std::filesystem::path& archive) {
  const OpenedArchive opened = openArchive(archive);
  const std::string& path = opened.toolPath;

  std::vector<std::string> entries;
  {
    const std::string names = runChild(kZipinfo, {"-1", path});
    std::vector<std::string_view> lines = archive_listing::splitLines(names);
    if (lines.empty() || lines.size() > kMaxEntries) throw InstallFailure::invalid(kInvalidArchive);
    entries.assign(lines.begin(), lines.end());
  }
  const std::string root = requireOneBundle(entries);
  path_validation::validate(entries, {}, root, path_validation::NameRules::kApply);

  const std::string longListing = runChild(kZipinfo, {"-l", path});
  archive_listing::LongListing listing = archive_listing::parseLongListing(longListing);
  ArchiveLinks links;
  std::unordered_map<std::string, size_t> linkPositions;
  EntryIndex index(entries);
  for (const archive_listing::ListedLink& line : listing.links) {
    if (!line.wellFormed || !index.contains(line.name)) throw InstallFailure::invalid(kBadLink);
    if (line.name.find_first_of(kWildcards) != std::string_view::npos) {
      throw InstallFailure::invalid(kAmbiguousLink);
    }
    std::string name(line.name);
    std::string target = runChild(kUnzip, {"-p", path, name});
    // A later line for an equal name replaces the earlier target.
    auto [known, added] = linkPositions.try_emplace(text::toNFC(name), links.size());
    if (added) {
      links.emplace_back(std::move(name), std::move(target));
    } else {
      links[known->second].second = std::move(target);
    }
  }
  // The names passed every rule of their own in the first validation; only the links are new.
  path_validation::validate(entries, links, root, path_validation::NameRules::kAlreadyPassed);
  // Beyond the path rules: every entry must be one the checks understand, and the long
  // listing must show exactly the entries of the name listing, so that none escapes the
  // checks by its line's shape. Checked last, so that an archive that breaks a path rule
  // too is refused for that.
  if (listing.refused) throw InstallFailure::invalid(kUnsafeEntry);
  if (listing.entries != entries.size() || listing.declaredOverflows) throw InstallFailure::invalid(kInvalidArchive);
  ArchiveListing listed{opened.fingerprint, {}};
  for (const ArchiveLinks::value_type& link : links) listed.links.push_back(link.first);
  return ArchiveContents{root, listing.declared, std::move(listed)};
}

}  // namespace install
}  // namespace mirelo
