#include "fuzz/validate_paths_reference.h"

#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/text.h"

namespace mirelo::fuzzing {
namespace {

struct Rejection {
  std::string message;
};

std::vector<std::string> pieces(std::string_view text) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) result.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// The pieces of a name without empty and "." pieces, joined again.
std::string normalised(std::string_view name) {
  std::string joined;
  for (const std::string& piece : pieces(name)) {
    if (piece == ".") continue;
    if (!joined.empty()) joined += '/';
    joined += piece;
  }
  return joined;
}

void resolve(const std::string& path, const std::unordered_map<std::string, std::string>& links,
             const std::string& rootKey) {
  std::deque<std::string> queue;
  for (const std::string& piece : pieces(path)) queue.push_back(piece);
  std::vector<std::string> stack;
  int expansions = 0;
  while (!queue.empty()) {
    std::string piece = queue.front();
    queue.pop_front();
    if (piece == ".") continue;
    if (piece == "..") {
      if (stack.size() < 2) throw Rejection{"Archive link escapes bundle"};
      stack.pop_back();
      continue;
    }
    std::string joined;
    for (const std::string& name : stack) joined += name + "/";
    joined += piece;
    auto link = links.find(text::foldedKey(joined));
    if (link != links.end()) {
      if (++expansions > 40) throw Rejection{"Unsafe archive link"};
      const std::string& target = link->second;
      if (target.starts_with('/') || target.find_first_of(std::string_view("\\\n\0", 3)) != std::string::npos) {
        throw Rejection{"Unsafe archive link"};
      }
      std::vector<std::string> targetPieces = pieces(target);
      queue.insert(queue.begin(), targetPieces.begin(), targetPieces.end());
    } else {
      stack.push_back(piece);
    }
    if (!stack.empty() && text::toNFC(stack.front()) != rootKey) throw Rejection{"Archive escapes bundle"};
  }
}

}  // namespace

std::string referenceValidatePaths(const std::vector<std::string>& paths, const ArchiveLinks& links,
                                   const std::string& root) {
  try {
    std::unordered_map<std::string, std::string> lowered;
    for (const auto& [name, target] : links) {
      if (!lowered.emplace(text::foldedKey(normalised(name)), target).second) {
        throw Rejection{"Duplicate archive link"};
      }
    }
    const std::string rootKey = text::toNFC(root);
    std::unordered_set<std::string> seen;
    for (const std::string& path : paths) {
      if (!seen.insert(text::foldedKey(normalised(path))).second) throw Rejection{"Unsafe archive path"};
      if (path.starts_with('/') || path.find_first_of("\\\r\n") != std::string::npos) {
        throw Rejection{"Unsafe archive path"};
      }
      for (const std::string& piece : pieces(path)) {
        if (piece == "..") throw Rejection{"Unsafe archive path"};
      }
      resolve(path, lowered, rootKey);
    }
    return {};
  } catch (const Rejection& rejection) {
    return rejection.message;
  }
}

}  // namespace mirelo::fuzzing
