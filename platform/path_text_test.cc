#include "platform/path_text.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace mirelo::path_text {
namespace {

TEST(PathText, NulBytes) {
  EXPECT_FALSE(hasNul("/a/b"));
  EXPECT_FALSE(hasNul(""));
  EXPECT_TRUE(hasNul(std::string("/a\0b", 4)));
  EXPECT_TRUE(hasNul(std::string("\0", 1)));
}

TEST(PathText, CuttingTheLastComponent) {
  const struct {
    std::string path;
    std::string trimmed;
    std::string withoutLast;
    std::pair<std::string, std::string> split;
  } cases[] = {
      {"/a/b/c", "/a/b/c", "/a/b", {"/a/b", "c"}},
      {"/a/b/c/", "/a/b/c", "/a/b", {"/a/b", "c"}},
      {"/a/b/c///", "/a/b/c", "/a/b", {"/a/b", "c"}},
      {"/a", "/a", "/", {"/", "a"}},
      {"/", "/", "/", {"/", ""}},
      {"///", "/", "/", {"/", ""}},
      {"a", "a", ".", {".", "a"}},
      {"a/b", "a/b", "a", {"a", "b"}},
      {"a//b", "a//b", "a/", {"a/", "b"}},
      {"", "", ".", {".", ""}},
      {"/a/..", "/a/..", "/a", {"/a", ".."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(withoutTrailingSlashes(c.path), c.trimmed);
    EXPECT_EQ(withoutLastComponent(c.path), c.withoutLast);
    EXPECT_EQ(splitLastComponent(c.path), c.split);
  }
}

TEST(PathText, TrailingSeparatorOfAFolderPath) {
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"/a/b/", "/a/b"}, {"/a/b", "/a/b"}, {"/", "/"}, {"a/", "a"}, {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(withoutTrailingSeparator(c.path).string(), c.expected);
  }
}

}  // namespace
}  // namespace mirelo::path_text
