#include "update-helper/common/version.h"

#include <string>

#include <gtest/gtest.h>

namespace mirelo {
namespace {

TEST(VersionText, OneToSixtyFourCharactersOfTheVersionAlphabet) {
  const struct {
    std::string version;
    bool valid;
  } cases[] = {
      {"3.2.0", true},
      {"1.0+build_7-rc.1", true},
      {"a", true},
      {std::string(64, '9'), true},
      {std::string(65, '9'), false},
      {"", false},
      {"3.2 beta", false},
      {"3/2", false},
      {"3.2\n", false},
      {std::string("3.2\0x", 5), false},
      {"3.\xC3\xA9", false},         // é
      {"\xEF\xBC\x93.2", false},     // a full-width digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    EXPECT_EQ(isVersionText(c.version), c.valid);
  }
}

}  // namespace
}  // namespace mirelo
