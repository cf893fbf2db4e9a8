#include "update-helper/install/archive_listing.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo::archive_listing {
namespace {

using Views = std::vector<std::string_view>;

TEST(ArchiveListingTest, SplitsAtEveryLineFeedAndDropsEmptyPieces) {
  struct Case {
    std::string_view output;
    Views lines;
  };
  const Case cases[] = {
      {"", {}},
      {"\n\n\n", {}},
      {"a", {"a"}},
      {"a\nb\n", {"a", "b"}},
      {"\na\n\n\nb", {"a", "b"}},
      // Nothing but the line feed is cut or trimmed.
      {" a \r\n\tb\t\n", {" a \r", "\tb\t"}},
      {"x\ry", {"x\ry"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.output)));
    EXPECT_EQ(splitLines(c.output), c.lines);
  }
}

TEST(ArchiveListingTest, CutsTenFieldsAndKeepsTheNameVerbatim) {
  struct Case {
    std::string_view line;
    Views fields;
  };
  const Case cases[] = {
      {"-rw-r--r--  3.0 unx        6 tx        6 stor 26-Dec-10 04:43 Example.app/Contents/Info.plist",
       {"-rw-r--r--", "3.0", "unx", "6", "tx", "6", "stor", "26-Dec-10", "04:43", "Example.app/Contents/Info.plist"}},
      // Spaces inside the name, and at its end, belong to it.
      {"-rw-r--r--  3.0 unx 4 tx 4 stor 26-Dec-10 04:43 E.app/sp  ace x ",
       {"-rw-r--r--", "3.0", "unx", "4", "tx", "4", "stor", "26-Dec-10", "04:43", "E.app/sp  ace x "}},
      // Only the one separator after the ninth field is dropped.
      {"l 2 3 4 5 6 7 8 9   name", {"l", "2", "3", "4", "5", "6", "7", "8", "9", "  name"}},
      {"l 2 3 4 5 6 7 8 9\t\tname", {"l", "2", "3", "4", "5", "6", "7", "8", "9", "\tname"}},
      // Leading separators make no field; tabs separate like spaces.
      {"  \t- 2\t3  4 5 6 7 8 9 n", {"-", "2", "3", "4", "5", "6", "7", "8", "9", "n"}},
      // Nothing after the ninth field, or only its separator: nine fields.
      {"- 2 3 4 5 6 7 8 9", {"-", "2", "3", "4", "5", "6", "7", "8", "9"}},
      {"- 2 3 4 5 6 7 8 9 ", {"-", "2", "3", "4", "5", "6", "7", "8", "9"}},
      {"- 2 3", {"-", "2", "3"}},
      {"   ", {}},
      {"-", {"-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.line)));
    EXPECT_EQ(cutFields(c.line), c.fields);
  }
}

TEST(ArchiveListingTest, ParsesDecimalSizes) {
  struct Case {
    std::string_view text;
    std::optional<uint64_t> asUnsigned;
    std::optional<int64_t> asSigned;
  };
  const Case cases[] = {
      {"0", 0, 0},
      {"4095", 4095, 4095},
      {"+17", 17, 17},
      {"-0", 0, 0},
      {"-5", std::nullopt, -5},
      {"0000000000000000000000012", 12, 12},
      {"9223372036854775807", 9223372036854775807ull, 9223372036854775807ll},
      {"9223372036854775808", 9223372036854775808ull, std::nullopt},
      {"-9223372036854775808", std::nullopt, INT64_MIN},
      {"-9223372036854775809", std::nullopt, std::nullopt},
      {"18446744073709551615", 18446744073709551615ull, std::nullopt},
      {"18446744073709551616", std::nullopt, std::nullopt},
      {"99999999999999999999999", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"\xd9\xa3", std::nullopt, std::nullopt},  // ARABIC-INDIC DIGIT THREE
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(parseUnsigned(c.text), c.asUnsigned);
    EXPECT_EQ(parseSigned(c.text), c.asSigned);
  }
}

TEST(ArchiveListingTest, FindsTheTopLevelName) {
  struct Case {
    std::string_view name;
    std::string_view top;
  };
  const Case cases[] = {
      {"Example.app/", "Example.app"},          {"Example.app", "Example.app"},
      {"Example.app/Contents/x", "Example.app"}, {"/Example.app/x", "Example.app"},
      {"//a//b", "a"},                           {"/", ""},
      {"", ""},                                  {"./x", "."},
      {" sp .app/x", " sp .app"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.name)));
    EXPECT_EQ(topLevelName(c.name), c.top);
  }
}

// The long listing as `zipinfo -l` prints it, with every kind of line it has.
constexpr std::string_view kRealListing =
    "Archive:  /tmp/update -rw.zip\n"
    "Zip file size: 1861 bytes, number of entries: 9\n"
    "drwxr-xr-x  3.0 unx        0 bx        0 stor 26-Dec-10 04:43 Example.app/\n"
    "-rw-r--r--  3.0 unx        6 tx        6 stor 26-Dec-10 04:43 Example.app/Contents/Info.plist\n"
    "-rw-r--r--  3.0 unx        4 tx        4 stor 26-Dec-10 04:43 Example.app/Contents/sp  ace x\n"
    "?rw-------  2.0 fat      100 b-      100 stor 80-Jan-01 00:00 Example.app/no-mode\n"
    "lrwxrwxrwx  3.0 unx        1 bx        1 stor 26-Dec-10 04:43 Example.app/Versions/Current\n"
    "-rw-r--r--  2.0 unx        1 b-        1 stor 80-Jan-01 00:00 Example.app/ctl^A^_\x7fx\n"
    "9 files, 11 bytes uncompressed, 11 bytes compressed:  0.0%\n";

TEST(ArchiveListingTest, ReadsRealListing) {
  LongListing listing = parseLongListing(kRealListing);
  EXPECT_EQ(listing.bytes, 11u);
  ASSERT_EQ(listing.links.size(), 1u);
  EXPECT_EQ(listing.links[0].name, "Example.app/Versions/Current");
  EXPECT_TRUE(listing.links[0].wellFormed);
}

TEST(ArchiveListingTest, SumsSizesModulo2To64AndIgnoresUnusableFileLines) {
  const std::string listing =
      "-rw-r--r--  3.0 unx 18446744073709551615 bx 0 stor 24-Jun-15 12:30 E.app/a\n"
      "-rw-r--r--  3.0 unx 9223372036854775808 bx 0 stor 24-Jun-15 12:30 E.app/b\n"
      "-rw-r--r--  3.0 unx        5 bx 0 stor 24-Jun-15 12:30 E.app/c\n"
      "-rw-r--r--  3.0 unx     junk bx 0 stor 24-Jun-15 12:30 E.app/d\n"
      "-rw-r--r--  3.0 unx       -7 bx 0 stor 24-Jun-15 12:30 E.app/e\n"
      "-rw-r--r--  3.0 unx 18446744073709551616 bx 0 stor 24-Jun-15 12:30 E.app/f\n"
      "-rw-r--r--  3.0 unx      100 bx 0 stor 24-Jun-15 12:30\n"
      "-\n";
  EXPECT_EQ(parseLongListing(listing).bytes, (uint64_t{1} << 63) + 4);
  EXPECT_EQ(parseLongListing("").bytes, 0u);
  EXPECT_TRUE(parseLongListing("").links.empty());
}

TEST(ArchiveListingTest, JudgesLinkLinesBySizeAndFieldCount) {
  struct Case {
    std::string_view line;
    bool wellFormed;
    std::string_view name;
  };
  const Case cases[] = {
      {"lrwxrwxrwx  3.0 unx        1 bx 1 stor 26-Dec-10 04:43 E.app/l", true, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx     4095 bx 1 stor 26-Dec-10 04:43 E.app/l", true, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx     +009 bx 1 stor 26-Dec-10 04:43 E.app/l", true, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx        0 bx 1 stor 26-Dec-10 04:43 E.app/l", false, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx     4096 bx 1 stor 26-Dec-10 04:43 E.app/l", false, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx       -1 bx 1 stor 26-Dec-10 04:43 E.app/l", false, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx      1x1 bx 1 stor 26-Dec-10 04:43 E.app/l", false, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx 99999999999999999999 bx 1 stor 26-Dec-10 04:43 E.app/l", false, "E.app/l"},
      {"lrwxrwxrwx  3.0 unx        1 bx 1 stor 26-Dec-10 04:43", false, ""},
      {"l", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.line)));
    LongListing listing = parseLongListing(c.line);
    ASSERT_EQ(listing.links.size(), 1u);
    EXPECT_EQ(listing.links[0].wellFormed, c.wellFormed);
    EXPECT_EQ(listing.links[0].name, c.name);
    EXPECT_EQ(listing.bytes, 0u);
  }
}

}  // namespace
}  // namespace mirelo::archive_listing
