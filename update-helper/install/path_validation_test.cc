#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

const std::string kOk;
const std::string kUnsafePath = "Unsafe archive path";
const std::string kUnsafeLink = "Unsafe archive link";
const std::string kDuplicateLink = "Duplicate archive link";
const std::string kLinkEscapes = "Archive link escapes bundle";
const std::string kEscapes = "Archive escapes bundle";

// The message of the rejection, or empty when every path is safe.
std::string outcome(const std::vector<std::string>& paths, const ArchiveLinks& links,
                    const std::string& root = "Example.app") {
  try {
    AtomicInstall::validatePaths(paths, links, root);
    return kOk;
  } catch (const InstallFailure& failure) {
    return failure.message();
  }
}

struct Case {
  const char* what;
  std::vector<std::string> paths;
  ArchiveLinks links;
  std::string expected;
  std::string root = "Example.app";
};

void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(c.paths, c.links, c.root), c.expected);
  }
}

TEST(ValidatePathsTest, AppliesTheNameRules) {
  runCases({
      {"bundle with one file", {"Example.app/", "Example.app/Contents/Info.plist"}, {}, kOk},
      {"doubled slash and dot pieces", {"Example.app//Contents/./x", "Example.app/./y/"}, {}, kOk},
      {"folder and file of one name", {"Example.app/Contents/Resources/", "Example.app/Contents/resources"}, {},
       kUnsafePath},
      {"exact duplicate", {"Example.app/a", "Example.app/a"}, {}, kUnsafePath},
      {"NFC and NFD", {"Example.app/caf\u00e9", "Example.app/cafe\u0301"}, {}, kUnsafePath},
      {"non-ASCII case", {"Example.app/\u00c4b", "Example.app/\u00e4B"}, {}, kUnsafePath},
      {"full lower-case mapping of I with dot", {"Example.app/\u0130", "Example.app/i\u0307"}, {}, kUnsafePath},
      {"final sigma", {"Example.app/\u039f\u0394\u039f\u03a3", "Example.app/\u03bf\u03b4\u03bf\u03c2"}, {},
       kUnsafePath},
      {"KELVIN SIGN composes to K", {"Example.app/\u212a", "Example.app/k"}, {}, kUnsafePath},
      {"same place through empty and dot pieces", {"Example.app/a", "Example.app/./a/"}, {}, kUnsafePath},
      {"dotless i is its own letter", {"Example.app/\u0131", "Example.app/i"}, {}, kOk},
      {"leading slash", {"/Example.app/x"}, {}, kUnsafePath},
      {"backslash", {"Example.app/a\\b"}, {}, kUnsafePath},
      {"carriage return", {"Example.app/a\rb"}, {}, kUnsafePath},
      {"line feed", {"Example.app/a\nb"}, {}, kUnsafePath},
      {"parent piece", {"Example.app/a/../b"}, {}, kUnsafePath},
      {"trailing parent piece", {"Example.app/a/.."}, {}, kUnsafePath},
      {"other top-level folder", {"Example.app/x", "Other.app/x"}, {}, kEscapes},
      {"root compared exactly, case included", {"example.app/x"}, {}, kEscapes},
      {"root compared under canonical equivalence", {"Cafe\u0301.app/x"}, {}, kOk, "Caf\u00e9.app"},
      {"first failure wins", {"Example.app/a", "Other.app/b", "/x"}, {}, kEscapes},
  });
}

TEST(ValidatePathsTest, ResolvesLinks) {
  const std::string current = "Example.app/Contents/Frameworks/F.framework/Versions/Current";
  runCases({
      {"framework version link", {current}, {{current, "A"}}, kOk},
      {"path through a link stays inside", {current + "/Resources/x"}, {{current, "A"}}, kOk},
      {"target climbing out", {"Example.app/Contents/x"}, {{"Example.app/Contents/x", "../../y"}}, kLinkEscapes},
      {"target climbing to the root folder", {"Example.app/l"}, {{"Example.app/l", ".."}}, kLinkEscapes},
      {"target climbing within", {"Example.app/a/b/l"}, {{"Example.app/a/b/l", "../../c/./d"}}, kOk},
      {"absolute target", {"Example.app/l"}, {{"Example.app/l", "/tmp"}}, kUnsafeLink},
      {"target with backslash", {"Example.app/l"}, {{"Example.app/l", "a\\b"}}, kUnsafeLink},
      {"target with line feed", {"Example.app/l"}, {{"Example.app/l", "a\nb"}}, kUnsafeLink},
      {"target with NUL", {"Example.app/l"}, {{"Example.app/l", std::string("a\0b", 3)}}, kUnsafeLink},
      {"carriage return is not looked for in targets", {"Example.app/l"}, {{"Example.app/l", "a\rb"}}, kOk},
      {"empty target", {"Example.app/l"}, {{"Example.app/l", ""}}, kOk},
      {"self link", {"Example.app/l"}, {{"Example.app/l", "l"}}, kUnsafeLink},
      {"loop of two", {"Example.app/a"}, {{"Example.app/a", "b"}, {"Example.app/b", "./a"}}, kUnsafeLink},
      {"escape through a chain",
       {"Example.app/a"},
       {{"Example.app/a", "b"}, {"Example.app/b", "../x"}},
       kLinkEscapes},
      {"escape through a folder link",
       {"Example.app/Contents/l/", "Example.app/Contents/l/passwd"},
       {{"Example.app/Contents/l", "../../../etc"}},
       kLinkEscapes},
      {"entry below an absolute link", {"Example.app/x/l/f"}, {{"Example.app/x/l", "/etc"}}, kUnsafeLink},
      {"links are found whatever their case", {"Example.app/l/f"}, {{"Example.app/L", "/etc"}}, kUnsafeLink},
      {"links are found under canonical equivalence",
       {"Example.app/cafe\u0301/f"},
       {{"Example.app/CAF\u00c9", "/etc"}},
       kUnsafeLink},
      {"link spelt with a dot piece", {"Example.app/./l"}, {{"Example.app/./l", "/tmp"}}, kUnsafeLink},
      {"link spelt with a doubled slash", {"Example.app/l/f"}, {{"Example.app//l", "/tmp"}}, kUnsafeLink},
      {"link to another top-level folder", {"Example.app"}, {{"Example.app", "Other.app"}}, kEscapes},
      {"link that keeps its own folder name", {"Example.app/a/l/x"}, {{"Example.app/a/l", "."}}, kOk},
      {"duplicate links by case",
       {"Example.app/a"},
       {{"Example.app/L", "a"}, {"Example.app/l", "a"}},
       kDuplicateLink},
      {"duplicate links by normalisation",
       {"Example.app/a"},
       {{"Example.app/caf\u00e9", "a"}, {"Example.app/cafe\u0301", "a"}},
       kDuplicateLink},
      {"duplicate links are found before any path", {"/bad"}, {{"a/l", "x"}, {"A/L", "y"}}, kDuplicateLink},
  });
}

// A chain of `length` links Example.app/<prefix>1 -> <prefix>2 -> ... -> <last>.
ArchiveLinks chain(const std::string& prefix, int length, const std::string& last) {
  ArchiveLinks links;
  for (int i = 1; i <= length; ++i) {
    links.emplace_back("Example.app/" + prefix + std::to_string(i),
                       i == length ? last : prefix + std::to_string(i + 1));
  }
  return links;
}

ArchiveLinks concat(ArchiveLinks a, const ArchiveLinks& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ValidatePathsTest, BoundsLinkExpansionsAtFortyPerPath) {
  runCases({
      {"forty expansions", {"Example.app/c1/f"}, chain("c", 40, "d"), kOk},
      {"forty-one expansions", {"Example.app/c1/f"}, chain("c", 41, "d"), kUnsafeLink},
      {"the count starts afresh for every path",
       {"Example.app/c1/f", "Example.app/c1/g", "Example.app/c2"},
       chain("c", 40, "d"),
       kOk},
      // The second path reaches the same 30-link chain after 10 or 11 expansions of its own.
      {"known chain reached late, within the bound",
       {"Example.app/c1/f", "Example.app/m1/f"},
       concat(chain("c", 30, "d"), chain("m", 10, "c1")),
       kOk},
      {"known chain reached late, beyond the bound",
       {"Example.app/c1/f", "Example.app/m1/f"},
       concat(chain("c", 30, "d"), chain("m", 11, "c1")),
       kUnsafeLink},
      {"known chain reached early, beyond the bound",
       {"Example.app/m1/f", "Example.app/c1/f"},
       concat(chain("c", 30, "d"), chain("m", 11, "c1")),
       kUnsafeLink},
      {"a known link that climbs, reached from deeper",
       {"Example.app/a/b/l/x", "Example.app/a/b/m/y"},
       {{"Example.app/a/b/l", "../c"}, {"Example.app/a/b/m", "l/../../../.."}},
       kLinkEscapes},
  });
}

TEST(ValidatePathsTest, DoesNotDependOnTheOrderOfLinks) {
  ArchiveLinks links = {{"Example.app/a", "b/c"}, {"Example.app/b", "d"}, {"Example.app/d/c", "../../x"}};
  std::sort(links.begin(), links.end());
  std::string first;
  do {
    std::string result = outcome({"Example.app/a/f"}, links);
    if (first.empty()) first = result;
    EXPECT_EQ(result, first);
  } while (std::next_permutation(links.begin(), links.end()));
  EXPECT_EQ(first, kLinkEscapes);
}

}  // namespace
}  // namespace mirelo
