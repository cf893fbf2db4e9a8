#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>

#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

std::string binaryPlist(plist_t root) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string result(bytes, length);
  free(bytes);
  plist_free(root);
  return result;
}

TEST(PropertyListTest, ReadsStringValuesOfXmlAndBinaryDictionaries) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("com.example.binary"));
  plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_uint(2));
  plist_dict_set_item(dict, "Flag", plist_new_bool(1));
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("x"));

  struct Case {
    const char* name;
    std::string bytes;
    bool readable;
    std::optional<std::string> identifier;
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"xml", testing::infoPlistXml({{"CFBundleIdentifier", "com.example.xml"}, {"CFBundleShortVersionString", "1.0"}}),
       true, "com.example.xml", "1.0"},
      {"binary with a number for the version", binaryPlist(dict), true, "com.example.binary", std::nullopt},
      {"xml with non-string values",
       "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><integer>3</integer>"
       "<key>CFBundleShortVersionString</key><array><string>1.0</string></array></dict></plist>",
       true, std::nullopt, std::nullopt},
      {"xml with entities", testing::infoPlistXml({{"CFBundleIdentifier", "a&amp;b"}}), true, "a&b", std::nullopt},
      {"array at the top", binaryPlist(array), false, std::nullopt, std::nullopt},
      {"string at the top", "<plist version=\"1.0\"><string>x</string></plist>", false, std::nullopt, std::nullopt},
      {"not a property list", "hello, world", false, std::nullopt, std::nullopt},
      {"empty", "", false, std::nullopt, std::nullopt},
      {"truncated binary", binaryPlist(plist_new_dict()).substr(0, 12), false, std::nullopt, std::nullopt},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "Info.plist", c.bytes);
    std::optional<PropertyListDictionary> read = PropertyListDictionary::read(dir / "Info.plist");
    ASSERT_EQ(read.has_value(), c.readable);
    if (!read) continue;
    EXPECT_EQ(read->string("CFBundleIdentifier"), c.identifier);
    EXPECT_EQ(read->string("CFBundleShortVersionString"), c.version);
  }
}

TEST(PropertyListTest, NeverFollowsALink) {
  TempDir dir;
  testing::writeBundle(dir / "A.app");
  ASSERT_TRUE(PropertyListDictionary::readBundleInfo(dir / "A.app"));

  fs::create_symlink(dir / "A.app/Contents/Info.plist", dir / "link.plist");
  EXPECT_FALSE(PropertyListDictionary::read(dir / "link.plist"));
  EXPECT_FALSE(PropertyListDictionary::read(dir / "missing.plist"));
  EXPECT_FALSE(PropertyListDictionary::read(dir / "A.app/Contents"));

  // A link for the bundle, for Contents or for Info.plist itself.
  fs::create_directory_symlink(dir / "A.app", dir / "B.app");
  EXPECT_FALSE(PropertyListDictionary::readBundleInfo(dir / "B.app"));
  fs::create_directories(dir / "C.app");
  fs::create_directory_symlink(dir / "A.app/Contents", dir / "C.app/Contents");
  EXPECT_FALSE(PropertyListDictionary::readBundleInfo(dir / "C.app"));
  fs::create_directories(dir / "D.app/Contents");
  fs::create_symlink(dir / "A.app/Contents/Info.plist", dir / "D.app/Contents/Info.plist");
  EXPECT_FALSE(PropertyListDictionary::readBundleInfo(dir / "D.app"));
}

}  // namespace
}  // namespace mirelo
