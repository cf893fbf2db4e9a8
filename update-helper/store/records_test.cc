#include "update-helper/store/records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

using ::mirelo::testing::outcomeOf;
using ::mirelo::testing::Immutable;
using ::mirelo::testing::readFile;
using ::mirelo::testing::runShell;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;
namespace stdfs = std::filesystem;

std::vector<std::string> namesIn(const stdfs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool hasPending(const stdfs::path& folder) {
  const auto names = namesIn(folder);
  return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.starts_with(".pending-"); });
}

PreparedCandidate sampleCandidate() {
  PreparedCandidate c;
  c.schema = 1;
  c.version = "3.2.0";
  c.tag = "stable-3.2.0";
  c.target = "/Applications/Mirelo.app";
  c.staging = "/Applications/.mirelo-update-6F1C2A9E-3B7D-4E58-A0C4-95D2E8B17F30";
  c.stagingDevice = 16777232;
  c.stagingInode = 18446744073709551615ull;  // 2^64 - 1
  c.bundle = "Mirelo.app";
  c.candidateInode = 9007199254740993ull;  // 2^53 + 1
  c.inventory = std::string(64, 'a');
  c.cdhash = std::string(40, 'b');
  return c;
}

// A prepared record in JSON text with one member's value text replaced (or the member
// dropped when `value` is empty).
std::string candidateWith(const std::string& key, const std::string& value) {
  nlohmann::json json = encodeRecord(sampleCandidate());
  std::string text = "{";
  bool first = true;
  for (auto it = json.begin(); it != json.end(); ++it) {
    std::string member = it.value().dump();
    if (it.key() == key) {
      if (value.empty()) continue;
      member = value;
    }
    if (!first) text += ",";
    first = false;
    text += "\"" + it.key() + "\":" + member;
  }
  return text + "}";
}

std::optional<PreparedCandidate> decodeCandidate(const std::string& text) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return decodeRecord<PreparedCandidate>(json);
}

TEST(RecordCodec, NumbersMustBeWholeValuesInRange) {
  struct Case {
    const char* key;
    std::string value;  // JSON text; empty: the key is missing
    bool decodes;
  };
  const std::vector<Case> cases = {
      {"schema", "1", true},
      {"schema", "1.0", true},
      {"schema", "1e0", true},
      {"schema", "-3", true},
      {"schema", "1.5", false},
      {"schema", "\"1\"", false},
      {"schema", "null", false},
      {"schema", "true", false},
      {"schema", "[1]", false},
      {"schema", "", false},
      {"schema", "9223372036854775807", true},
      {"schema", "9223372036854775808", false},
      {"schema", "-9223372036854775808", true},
      {"schema", "-9223372036854775809", false},
      {"stagingDevice", "-1", true},
      {"stagingDevice", "4294967296", true},
      {"stagingDevice", "\"16777232\"", false},
      {"stagingInode", "18446744073709551615", true},
      {"stagingInode", "18446744073709551616", false},
      {"stagingInode", "-1", false},
      {"stagingInode", "0", true},
      {"stagingInode", "9007199254740991.0", true},
      // Written with a fraction from 2^53 on, the value may already be rounded.
      {"stagingInode", "9007199254740992.0", false},
      {"stagingInode", "9007199254740993.0", false},
      {"stagingInode", "9007199254740993", true},
      {"stagingInode", "1e300", false},
      {"candidateInode", "2.5", false},
      {"candidateInode", "-0.0", true},
      {"tag", "", false},
      {"tag", "null", false},
      {"tag", "7", false},
      {"tag", "\"\"", true},
      {"cdhash", "{}", false},
      {"unknownKey", "\"ignored\"", true},
  };
  for (const Case& c : cases) {
    std::string text = candidateWith(c.key, c.value);
    if (std::string(c.key) == "unknownKey") text = candidateWith("", "").insert(1, "\"unknownKey\":" + c.value + ",");
    SCOPED_TRACE(text);
    EXPECT_EQ(decodeCandidate(text).has_value(), c.decodes);
  }
}

TEST(RecordCodec, DocumentsThatAreNotRecordObjects) {
  const char* documents[] = {"", "[]", "\"text\"", "1", "null", "{", "{} {}", "{\"staging\":\"/a\"}"};
  for (const char* document : documents) {
    SCOPED_TRACE(document);
    EXPECT_FALSE(decodeCandidate(document).has_value());
  }
}

TEST(RecordCodec, KeysAndSubsets) {
  const nlohmann::json candidate = encodeRecord(sampleCandidate());
  std::vector<std::string> keys;
  for (auto it = candidate.begin(); it != candidate.end(); ++it) keys.push_back(it.key());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"bundle", "candidateInode", "cdhash", "inventory", "schema", "staging",
                                            "stagingDevice", "stagingInode", "tag", "target", "version"}));
  // A prepared record is also a claim; a claim is not a prepared record.
  const auto asClaim = decodeRecord<StagingClaim>(candidate);
  ASSERT_TRUE(asClaim.has_value());
  EXPECT_EQ(*asClaim, (StagingClaim{sampleCandidate().staging, 16777232, 18446744073709551615ull}));
  EXPECT_FALSE(decodeRecord<PreparedCandidate>(encodeRecord(*asClaim)).has_value());
  const PrepareRequest request{"/u/Mirelo-3.2.0.zip", "/Applications/Mirelo.app/Contents/MacOS/Mirelo", "3.2.0", "s"};
  EXPECT_EQ(decodeRecord<PrepareRequest>(encodeRecord(request)), request);
  nlohmann::json noTag = encodeRecord(request);
  noTag.erase("tag");
  EXPECT_FALSE(decodeRecord<PrepareRequest>(noTag).has_value());
}

class RecordFiles : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(RecordFiles, WriteThenReadKeepsEveryValueExactly) {
  const stdfs::path path = dir_ / "prepared.json";
  writeRecord(sampleCandidate(), path);
  EXPECT_EQ(readRecord<PreparedCandidate>(path), sampleCandidate());
  const std::string text = readFile(path);
  EXPECT_NE(text.find("\"stagingInode\":18446744073709551615"), std::string::npos) << text;
  EXPECT_NE(text.find("\"candidateInode\":9007199254740993"), std::string::npos) << text;
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(nlohmann::json::parse(text).dump(), text);  // compact
}

TEST_F(RecordFiles, WrittenRecordsAreOwnerOnlyAndLeaveNoPendingFile) {
  for (mode_t mask : {mode_t{0}, mode_t{077}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    const mode_t old = ::umask(mask);
    writeRecord(StagingClaim{"/a/.mirelo-update-X", 1, 2}, dir_ / "claim.json");
    ::umask(old);
    struct stat status {};
    ASSERT_EQ(::lstat((dir_ / "claim.json").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_FALSE(hasPending(dir_.path()));
  }
  writeRecord(StagingClaim{"/b", 3, 4}, dir_ / "claim.json");
  EXPECT_EQ(readRecord<StagingClaim>(dir_ / "claim.json"), (StagingClaim{"/b", 3, 4}));
  EXPECT_EQ(namesIn(dir_.path()), std::vector<std::string>{"claim.json"});
}

TEST_F(RecordFiles, AFailedWriteLeavesThePreviousRecordExactlyAsItWas) {
  struct Case {
    const char* name;
    // Sets the fault up; returns false when the machine cannot stage it.
    std::function<bool(const stdfs::path& folder, std::vector<std::unique_ptr<Immutable>>& flags)> fault;
    std::string destination;
    const char* outcome;
  };
  const std::string previous = "{\"staging\":\"/old\",\"stagingDevice\":1,\"stagingInode\":2} (previous bytes)";
  const std::vector<Case> cases = {
      {"the rename onto an immutable record fails",
       [](const stdfs::path& folder, auto& flags) {
         flags.push_back(std::make_unique<Immutable>(folder / "claim.json"));
         return flags.back()->applied();
       },
       "claim.json", "Cannot record prepared update"},
      {"the temporary file cannot be created in an immutable folder",
       [](const stdfs::path& folder, auto& flags) {
         flags.push_back(std::make_unique<Immutable>(folder));
         return flags.back()->applied();
       },
       "claim.json", "Cannot record prepared update"},
      {"the destination is a folder that is not empty",
       [](const stdfs::path& folder, auto&) {
         stdfs::create_directories(folder / "prepared.json" / "inside");
         return true;
       },
       "prepared.json", "Cannot record prepared update"},
      {"the destination is a link to a folder",
       [](const stdfs::path& folder, auto&) {
         stdfs::create_directories(folder / "elsewhere" / "inside");
         stdfs::create_directory_symlink(folder / "elsewhere", folder / "prepared.json");
         return true;
       },
       "prepared.json", "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const stdfs::path folder = dir_ / c.name;
    stdfs::create_directory(folder);
    writeFile(folder / "claim.json", previous);
    std::vector<std::unique_ptr<Immutable>> flags;
    if (!c.fault(folder, flags)) {
      std::cout << "chattr +i unsupported here; skipping: " << c.name << "\n";
      continue;
    }
    const auto before = namesIn(folder);
    EXPECT_EQ(outcomeOf([&] { writeRecord(StagingClaim{"/new", 5, 6}, folder / c.destination); }), c.outcome);
    EXPECT_EQ(readFile(folder / "claim.json"), previous);
    EXPECT_FALSE(hasPending(folder));
    if (std::string(c.outcome) != "ok") {
      EXPECT_EQ(namesIn(folder), before);
    }
  }
}

TEST_F(RecordFiles, AnEncoderErrorWritesNothing) {
  writeFile(dir_ / "claim.json", "old");
  const std::string outcome = outcomeOf([&] { writeRecord(StagingClaim{"/bad\xFF", 1, 2}, dir_ / "claim.json"); });
  EXPECT_TRUE(outcome.starts_with("other: ")) << outcome;
  EXPECT_EQ(readFile(dir_ / "claim.json"), "old");
  EXPECT_EQ(namesIn(dir_.path()), std::vector<std::string>{"claim.json"});
  EXPECT_EQ(outcomeOf([&] { writeRecord(StagingClaim{"/x", 1, 2}, dir_ / "absent" / "claim.json"); }),
            "Cannot record prepared update");
}

TEST_F(RecordFiles, ReadTakesOnlySmallRegularFiles) {
  const std::string record = encodeRecord(StagingClaim{"/s", 1, 2}).dump();
  auto padded = [&](size_t size) { return record + std::string(size - record.size(), ' '); };
  writeFile(dir_ / "exact", padded(16384));
  writeFile(dir_ / "over", padded(16385));
  writeFile(dir_ / "target", record);
  stdfs::create_symlink(dir_ / "target", dir_ / "link");
  stdfs::create_directory(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  writeFile(dir_ / "garbage", "not json");
  writeFile(dir_ / "empty", "");
  writeFile(dir_ / "unreadable", record);
  ::chmod((dir_ / "unreadable").c_str(), 0);
  struct Case {
    const char* name;
    bool present;
  };
  const Case cases[] = {
      {"exact", true},   {"over", false},    {"target", true},  {"link", false},   {"folder", false},
      {"pipe", false},   {"garbage", false}, {"empty", false},  {"absent", false},
      {"unreadable", ::geteuid() == 0},  // root reads it anyway
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readRecord<StagingClaim>(dir_ / c.name).has_value(), c.present);
  }
  EXPECT_EQ(readFile(dir_ / "garbage"), "not json");
}

}  // namespace
}  // namespace mirelo
