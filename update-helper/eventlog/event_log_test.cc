#include "update-helper/eventlog/event_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/pattern.h"
#include "testing/test_support.h"
#include "update-helper/common/helper_process.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::Immutable;
using testing::readFile;
using testing::runShell;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> linesOf(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(content.substr(start, end - start));
  }
  EXPECT_EQ(start, content.size()) << "the log does not end with a line feed";
  return lines;
}

// Checks the members that every line has and returns the parsed object.
nlohmann::json parseEvent(const std::string& line) {
  static const Pattern kId("[0-9a-f]{32}");
  static const Pattern kAt("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");
  nlohmann::json event = nlohmann::json::parse(line);
  EXPECT_TRUE(event.is_object());
  EXPECT_EQ(event.value("schema", 0), 1);
  EXPECT_TRUE(kId.matchesWhole(event.value("id", ""))) << line;
  EXPECT_TRUE(kAt.matchesWhole(event.value("at", ""))) << line;
  EXPECT_EQ(event.dump(), line) << "the line is not compact JSON";
  return event;
}

// The single event in the log of `folder`.
nlohmann::json onlyEvent(const fs::path& folder) {
  std::vector<std::string> lines = linesOf(readFile(folder / kEventLogName));
  EXPECT_EQ(lines.size(), 1u);
  return lines.empty() ? nlohmann::json() : parseEvent(lines.back());
}

class EventLogTest : public ::testing::Test {
 protected:
  void note(std::optional<std::string_view> version = std::nullopt,
            std::optional<std::string_view> kind = std::nullopt) {
    noteOutcomeIn(dir_.path().string(), "update-relaunch-failed", version, "replacement-or-relaunch", kind);
  }
  fs::path current() const { return dir_ / kEventLogName; }
  fs::path rotated() const { return dir_ / kRotatedEventLogName; }

  TempDir dir_;
};

TEST_F(EventLogTest, FirstEventCreatesPrivateLogWithOneLine) {
  note("2.4.1", "Not enough disk space");

  struct stat status {};
  ASSERT_EQ(::lstat(current().c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(rotated()));

  nlohmann::json event = onlyEvent(dir_.path());
  EXPECT_EQ(event["outcome"], "update-relaunch-failed");
  EXPECT_EQ(event["stage"], "replacement-or-relaunch");
  EXPECT_EQ(event["version"], "2.4.1");
  EXPECT_EQ(event["kind"], "not-enough-disk-space");
  EXPECT_EQ(event.size(), 7u);
}

TEST_F(EventLogTest, LinesAreAppendedWithFreshIds) {
  note();
  note();
  note();
  std::vector<std::string> lines = linesOf(readFile(current()));
  ASSERT_EQ(lines.size(), 3u);
  std::set<std::string> ids;
  for (const std::string& line : lines) ids.insert(parseEvent(line)["id"].get<std::string>());
  EXPECT_EQ(ids.size(), 3u);
}

TEST_F(EventLogTest, RotatesAtSixtyFourKibibytesReplacingTheOlderGeneration) {
  struct Case {
    size_t size;
    bool rotates;
  };
  const Case cases[] = {{0, false}, {65535, false}, {65536, true}, {200000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string old(c.size, 'x');
    writeFile(current(), old);
    writeFile(rotated(), "older generation\n");

    note();

    std::string now = readFile(current());
    if (c.rotates) {
      EXPECT_EQ(readFile(rotated()), old);
      EXPECT_EQ(linesOf(now).size(), 1u);
      parseEvent(linesOf(now).at(0));
    } else {
      EXPECT_EQ(readFile(rotated()), "older generation\n");
      ASSERT_GT(now.size(), old.size());
      EXPECT_EQ(now.substr(0, old.size()), old);
      parseEvent(linesOf(now.substr(old.size())).at(0));
    }
    fs::remove(current());
    fs::remove(rotated());
  }
}

TEST_F(EventLogTest, FailedRotationDropsTheLineOnlyFromTheHardCap) {
  struct Case {
    size_t size;
    bool appended;
  };
  const Case cases[] = {{100000, true}, {262143, true}, {262144, false}, {300000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string old(c.size, 'x');
    writeFile(current(), old);
    {
      Immutable frozen(dir_.path());
      if (!frozen.applied()) GTEST_SKIP() << "chattr +i is not supported here (needs root and ext4/xfs/btrfs)";
      note();
    }
    EXPECT_FALSE(fs::exists(rotated()));
    std::string now = readFile(current());
    if (c.appended) {
      ASSERT_GT(now.size(), old.size());
      EXPECT_EQ(now.substr(0, old.size()), old);
      parseEvent(linesOf(now.substr(old.size())).at(0));
    } else {
      EXPECT_EQ(now, old);
    }
    fs::remove(current());
  }
}

TEST_F(EventLogTest, VersionIsWrittenOnlyWhenItPassesTheRule) {
  struct Case {
    std::string version;
    bool written;
  };
  const std::string allowed = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz.+_-";
  const Case cases[] = {
      {"1.2.3", true},
      {"1.0.0-beta+build_7", true},
      {allowed.substr(0, 64), true},
      {allowed.substr(2, 64), true},
      {std::string(65, '1'), false},
      {"1.0 beta", false},
      {"1.0/2", false},
      {"", false},
      {"1.0\n", false},
      {"1.0\xc3\xa9", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    note(c.version, "reason");
    nlohmann::json event = onlyEvent(dir_.path());
    if (c.written) {
      EXPECT_EQ(event.value("version", "<absent>"), c.version);
    } else {
      EXPECT_FALSE(event.contains("version"));
    }
    EXPECT_EQ(event["kind"], "reason") << "the rest of the line is still written";
    fs::remove(current());
  }
}

TEST_F(EventLogTest, KindIsNormalised) {
  struct Case {
    std::string kind;
    std::string expected;
  };
  const Case cases[] = {
      {"Update signature mismatch", "update-signature-mismatch"},
      {"Not enough disk space", "not-enough-disk-space"},
      {"native-error-28", "native-error-28"},
      {std::string(70, 'A'), std::string(64, 'a')},
      {std::string(63, 'b') + " cut", std::string(63, 'b') + "-"},
      {"\xc3\x84\xc3\x96\xc3\x9c", "---"},                          // ÄÖÜ: one "-" each
      {"\xd0\x96\xd0\xb6\xce\xa9", "---"},                          // Cyrillic and Greek letters
      {"e\xcc\x81t\xc3\xa9", "-t-"},                                // decomposed and composed é
      {"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9x", "-x"},        // one emoji sequence
      {"\xe2\x84\xaa" "elvin", "kelvin"},                            // Kelvin sign lower-cases to ASCII k
      {"a\r\nb", "a-b"},
      {"a\n\rb", "a--b"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    note("1.0", c.kind);
    nlohmann::json event = onlyEvent(dir_.path());
    EXPECT_EQ(event.value("kind", "<absent>"), c.expected);
    fs::remove(current());
  }
}

TEST_F(EventLogTest, NoKindMeansNoMember) {
  note("1.0", std::nullopt);
  nlohmann::json event = onlyEvent(dir_.path());
  EXPECT_FALSE(event.contains("kind"));
  EXPECT_EQ(event["version"], "1.0");
}

TEST_F(EventLogTest, NothingIsWrittenThroughOrRotatedAwayFromASymbolicLink) {
  const fs::path target = dir_ / "target";
  const std::string big(100000, 'x');
  writeFile(target, big);
  fs::create_symlink(target, current());
  note();
  EXPECT_EQ(readFile(target), big);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(current())));
  EXPECT_FALSE(fs::exists(fs::symlink_status(rotated())));

  // A dangling link is not followed to create its target either.
  fs::remove(current());
  fs::create_symlink(dir_ / "missing", current());
  note();
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(current())));
}

TEST_F(EventLogTest, ANamedPipeInPlaceOfTheLogDoesNotStallTheCaller) {
  ASSERT_EQ(::mkfifo(current().c_str(), 0600), 0);
  // Without a reader, a blocking open would wait for ever; the line is dropped instead.
  note();
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(current())));
}

TEST_F(EventLogTest, MissingLogDirectoryDropsTheLineQuietly) {
  noteOutcomeIn((dir_ / "absent").string(), "update-expired", "1.0", "awaiting-install");
  noteOutcomeIn("", "update-expired", "1.0", "awaiting-install");
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(EventLogTest, InvalidTextDropsTheLine) {
  noteOutcomeIn(dir_.path().string(), "update-\xff", "1.0", "cleanup");
  EXPECT_FALSE(fs::exists(current()));
}

TEST(EventLogDirectoryTest, RemovesTheLastPathComponent) {
  struct Case {
    std::string work;
    std::string expected;
  };
  const Case cases[] = {
      {"/var/lib/mirelo/updates/session-1", "/var/lib/mirelo/updates"},
      {"/var/lib/mirelo/updates/session-1/", "/var/lib/mirelo/updates"},
      {"/var/lib/mirelo/updates//session-1//", "/var/lib/mirelo/updates"},
      {"updates/session-1", "updates"},
      {"session-1", "."},
      {"session-1/", "."},
      {"/session-1", "/"},
      {"//session-1", "/"},
      {"/", "/"},
      {"//", "/"},
      {"/a/b/.", "/a/b/./.."},
      {"/a/b/..", "/a/b/../.."},
      {"..", "../.."},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.work);
    EXPECT_EQ(eventLogDirectory(c.work), c.expected);
  }
}

TEST(NoteOutcomeTest, WritesBesideTheProcessWorkDirectory) {
  TempDir dir;
  fs::create_directory(dir / "session");
  const std::string saved = helperProcess().directory;
  helperProcess().directory = (dir / "session").string() + "/";
  noteOutcome("update-expired", "3.1.0", "awaiting-startup");
  helperProcess().directory = saved;

  EXPECT_FALSE(fs::exists(dir / "session" / kEventLogName));
  nlohmann::json event = onlyEvent(dir.path());
  EXPECT_EQ(event["outcome"], "update-expired");
  EXPECT_EQ(event["stage"], "awaiting-startup");
  EXPECT_EQ(event["version"], "3.1.0");
  EXPECT_FALSE(event.contains("kind"));
}

}  // namespace
}  // namespace mirelo
