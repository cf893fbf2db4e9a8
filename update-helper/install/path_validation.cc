// The path rules for archive entries: no name may leave the bundle folder, directly or
// through the symbolic links that the archive itself holds.
//
// Names are compared the way a case-insensitive, normalisation-insensitive volume compares
// them: lower-cased (Unicode default full mapping) and then under canonical equivalence. Both
// operations act on each "/"-separated piece on its own ("/" is neither cased nor
// case-ignorable, and nothing composes with it), so a joined path's key is the join of its
// pieces' keys. That lets the link map be a trie of piece keys, and resolving one more piece
// costs one hash lookup instead of re-folding the whole joined path.
//
// Link names and seen keys are compared after dropping empty and "." pieces, the way the
// extraction tool itself lays entries out ("A//l" and "A/./l" both create "A/l"). A link
// whose name is spelt with such pieces is therefore still found when a path runs through it.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/path_validation.h"
#include "update-helper/install/string_view_set.h"

namespace mirelo {
namespace {

constexpr int kMaxExpansions = 40;

const char kDuplicateLink[] = "Duplicate archive link";
const char kUnsafePath[] = "Unsafe archive path";
const char kUnsafeLink[] = "Unsafe archive link";
const char kLinkEscapes[] = "Archive link escapes bundle";
const char kEscapes[] = "Archive escapes bundle";

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
template <class Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Calls `visit` with every "/"-separated piece of `text` that is neither empty nor ".".
template <class Visit>
void forEachPiece(std::string_view text, Visit visit) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    if (!piece.empty() && piece != ".") visit(piece);
    start = end + 1;
  }
}

// The comparison key of one piece, written into `out` (reused to spare allocations).
void foldPiece(std::string_view piece, std::string& out) {
  if (isAscii(piece)) {
    out.assign(piece);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  } else {
    out = text::foldedKey(piece);
  }
}

// A backslash, carriage return or line feed: characters that no entry name may hold. (A
// plain loop: find_first_of searches the set once per character.)
bool hasForbiddenCharacter(std::string_view path) {
  for (char c : path) {
    if (c == '\\' || c == '\r' || c == '\n') return true;
  }
  return false;
}

// Appends the "/"-separated pieces of `text` that are not empty to `pieces`.
void splitPieces(std::string_view text, std::vector<std::string_view>& pieces) {
  // Pieces are short; a plain loop beats a library search per piece.
  const char* const data = text.data();
  const size_t size = text.size();
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '/') {
      if (i > start) pieces.emplace_back(data + start, i - start);
      start = i + 1;
    }
  }
}

class PathValidator {
 public:
  PathValidator(const ArchiveLinks& links, const std::string& root) : root_(text::toNFC(root)) {
    nodes_.push_back(Node{});
    links_.reserve(links.size());
    std::string key;
    for (const auto& [name, target] : links) {
      uint32_t node = 0;
      forEachPiece(name, [&](std::string_view piece) {
        foldPiece(piece, key);
        auto found = nodes_[node].children.find(key);
        if (found != nodes_[node].children.end()) {
          node = found->second;
          return;
        }
        auto child = static_cast<uint32_t>(nodes_.size());
        nodes_[node].children.emplace(key, child);
        Node added;
        added.parent = node;
        added.depth = nodes_[node].depth + 1;
        nodes_.push_back(std::move(added));
        node = child;
      });
      if (nodes_[node].link >= 0) throw InstallFailure::invalid(kDuplicateLink);
      nodes_[node].link = static_cast<int32_t>(links_.size());
      links_.push_back(Link::of(target));
    }
  }

  void check(const std::vector<std::string>& paths, path_validation::NameRules names) {
    const bool applyNameRules = names == path_validation::NameRules::kApply;
    // Seen keys of ASCII paths are never longer than the paths, so one buffer of their total
    // size holds them all without moving; other keys are kept one by one.
    std::string asciiKeys;
    std::deque<std::string> otherKeys;
    StringViewSet seen(applyNameRules ? paths.size() : 0);
    if (applyNameRules) {
      size_t total = 0;
      for (const std::string& path : paths) total += path.size();
      asciiKeys.reserve(total);
    }
    for (const std::string& path : paths) {
      pieces_.clear();
      splitPieces(path, pieces_);
      if (applyNameRules) {
        if (!seen.insert(seenKey(path, asciiKeys, otherKeys))) throw InstallFailure::invalid(kUnsafePath);
        if (path.starts_with('/') || hasForbiddenCharacter(path)) throw InstallFailure::invalid(kUnsafePath);
        for (std::string_view piece : pieces_) {
          if (piece == "..") throw InstallFailure::invalid(kUnsafePath);
        }
      }
      resolve();
    }
  }

 private:
  // A prefix of some link name, in folded pieces. The stack of resolved folders is kept as
  // its depth plus the deepest trie node it still follows: folders deeper than that node
  // lie outside every link name.
  struct Node {
    uint32_t parent = 0;
    size_t depth = 0;
    int32_t link = -1;
    StringMap<uint32_t> children;
  };

  struct Link {
    std::vector<std::string_view> reversedPieces;
    bool unsafe = false;
    // Once a link has been resolved completely, its outcome is kept: it always starts from
    // the folder that holds it, so it always ends in the same place after the same number
    // of expansions. A hostile chain of long targets is then walked once, not once per path.
    bool resolved = false;
    int expansions = 0;
    size_t depthAfter = 0;
    uint32_t nodeAfter = 0;

    static Link of(const std::string& target) {
      Link link;
      link.unsafe = target.starts_with('/') || target.find_first_of(std::string_view("\\\n\0", 3)) != std::string::npos;
      forEachPiece(target, [&](std::string_view piece) { link.reversedPieces.push_back(piece); });
      // "." pieces are dropped by forEachPiece and by resolution alike.
      std::reverse(link.reversedPieces.begin(), link.reversedPieces.end());
      return link;
    }
  };

  // An expansion whose target pieces are still in the queue.
  struct Pending {
    int32_t link;
    size_t queueSize;
    int expansionsBefore;
  };

  // The seen key of the current path: its pieces without "." pieces, joined and folded. A
  // trailing "/" therefore makes no difference, so a folder and a file of one name collide.
  std::string_view seenKey(const std::string& path, std::string& asciiKeys, std::deque<std::string>& otherKeys) const {
    if (isAscii(path)) {
      const size_t start = asciiKeys.size();
      for (std::string_view piece : pieces_) {
        if (piece == ".") continue;
        if (asciiKeys.size() > start) asciiKeys += '/';
        for (char c : piece) asciiKeys += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      }
      return std::string_view(asciiKeys).substr(start);
    }
    std::string joined;
    for (std::string_view piece : pieces_) {
      if (piece == ".") continue;
      if (!joined.empty()) joined += '/';
      joined += piece;
    }
    return otherKeys.emplace_back(text::foldedKey(joined));
  }

  void resolve() {
    queue_.clear();
    pending_.clear();
    depth_ = 0;
    node_ = 0;
    expansions_ = 0;

    size_t next = 0;
    for (;;) {
      std::string_view piece;
      if (!queue_.empty()) {
        piece = queue_.back();
        queue_.pop_back();
      } else {
        if (next == pieces_.size()) break;
        piece = pieces_[next++];
      }
      step(piece);
      while (!pending_.empty() && pending_.back().queueSize == queue_.size()) {
        Link& done = links_[static_cast<size_t>(pending_.back().link)];
        done.resolved = true;
        done.expansions = expansions_ - pending_.back().expansionsBefore;
        done.depthAfter = depth_;
        done.nodeAfter = node_;
        pending_.pop_back();
      }
    }
  }

  void step(std::string_view piece) {
    if (piece == ".") return;
    if (piece == "..") {
      if (depth_ < 2) throw InstallFailure::invalid(kLinkEscapes);
      if (depth_ == nodes_[node_].depth) node_ = nodes_[node_].parent;
      --depth_;
      return;
    }
    if (depth_ == nodes_[node_].depth && !nodes_[node_].children.empty()) {
      foldPiece(piece, key_);
      auto found = nodes_[node_].children.find(key_);
      if (found != nodes_[node_].children.end()) {
        const uint32_t child = found->second;
        if (nodes_[child].link >= 0) {
          expand(nodes_[child].link);
          return;
        }
        push(piece);
        node_ = child;
        return;
      }
    }
    push(piece);
  }

  void push(std::string_view piece) {
    if (depth_ == 0) {
      const bool isRoot = isAscii(piece) ? piece == root_ : text::toNFC(piece) == root_;
      if (!isRoot) throw InstallFailure::invalid(kEscapes);
    }
    ++depth_;
  }

  void expand(int32_t index) {
    Link& link = links_[static_cast<size_t>(index)];
    if (link.resolved) {
      if (expansions_ + link.expansions > kMaxExpansions) throw InstallFailure::invalid(kUnsafeLink);
      expansions_ += link.expansions;
      depth_ = link.depthAfter;
      node_ = link.nodeAfter;
      return;
    }
    if (++expansions_ > kMaxExpansions) throw InstallFailure::invalid(kUnsafeLink);
    if (link.unsafe) throw InstallFailure::invalid(kUnsafeLink);
    pending_.push_back(Pending{index, queue_.size(), expansions_ - 1});
    queue_.insert(queue_.end(), link.reversedPieces.begin(), link.reversedPieces.end());
  }

  const std::string root_;
  std::vector<Node> nodes_;
  std::vector<Link> links_;

  // State of the path being resolved. The queue holds the link-target pieces still to
  // resolve, the next one last; the path's own remaining pieces follow them.
  std::vector<std::string_view> pieces_;
  std::vector<std::string_view> queue_;
  std::vector<Pending> pending_;
  size_t depth_ = 0;
  uint32_t node_ = 0;
  int expansions_ = 0;
  std::string key_;
};

}  // namespace

namespace path_validation {

void validate(const std::vector<std::string>& paths, const ArchiveLinks& links, const std::string& root,
              NameRules names) {
  PathValidator validator(links, root);
  validator.check(paths, names);
}

}  // namespace path_validation

}  // namespace mirelo
