#include "platform/pattern.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace mirelo {
namespace {

TEST(Pattern, MatchesTheWholeTextOnly) {
  const Pattern version("[0-9A-Za-z.+_-]{1,64}");
  struct Case {
    std::string text;
    bool matches;
  };
  const Case cases[] = {
      {"2.0.1+build.7", true},
      {std::string(64, 'a'), true},
      {std::string(65, 'a'), false},
      {"", false},
      {"3.2.0\n", false},
      {"\n3.2.0", false},
      {"3.2 0", false},
      {std::string("3.2\0" "0", 5), false},
      {"3.2.\xC3\xA9", false},
      {"3.2.\xFF", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(version.matchesWhole(c.text), c.matches);
  }
  const Pattern upper("[0-9A-F]{2}");
  EXPECT_TRUE(upper.matchesWhole("0F"));
  EXPECT_FALSE(upper.matchesWhole("0f"));
}

TEST(Pattern, RefusesAnInvalidExpression) { EXPECT_THROW(Pattern("[0-9"), std::invalid_argument); }

}  // namespace
}  // namespace mirelo
