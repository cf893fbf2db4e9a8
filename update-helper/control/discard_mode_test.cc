// Black-box test of "--discard": the real helper on a real work directory with real staging
// folders beside a stand-in for the installed application.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"
#include "update-helper/staging/update_staging.h"
#include "update-helper/store/records.h"

namespace mirelo {
namespace {

namespace stdfs = std::filesystem;
using ::mirelo::testing::namesIn;
using ::mirelo::testing::programPath;
using ::mirelo::testing::ProcessResult;
using ::mirelo::testing::readFile;
using ::mirelo::testing::runProcess;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;

StagingClaim stagingWithCandidate(const stdfs::path& parent) {
  UpdateStaging staging(parent);
  stdfs::create_directories(staging.directory() / "prepared" / "Contents");
  writeFile(staging.directory() / "prepared" / "Contents" / "Info.plist", "new");
  stdfs::create_directory_symlink(parent / "Mirelo.app", staging.directory() / "prepared" / "Installed");
  return StagingClaim{staging.directory().string(), staging.device(), staging.inode()};
}

TEST(DiscardMode, RemovesTheRecordsAndTheirProvenFoldersOnly) {
  TempDir dir;
  const stdfs::path work = dir / "work";
  const stdfs::path applications = dir / "Applications";
  stdfs::create_directories(work);
  stdfs::create_directories(applications / "Mirelo.app" / "Contents");
  writeFile(applications / "Mirelo.app" / "Contents" / "Info.plist", "installed");

  const StagingClaim claimed = stagingWithCandidate(applications);
  const StagingClaim prepared = stagingWithCandidate(applications);
  PreparedCandidate candidate;
  candidate.staging = prepared.staging;
  candidate.stagingDevice = prepared.stagingDevice;
  candidate.stagingInode = prepared.stagingInode;
  candidate.bundle = "Mirelo.app";
  writeRecord(claimed, work / "claim.json");
  writeRecord(candidate, work / "prepared.json");
  writeFile(work / "request.json", "{}");
  writeFile(work / "failure.json", R"({"stage":"background","reason":"x"})");

  const ProcessResult result =
      runProcess({programPath("mirelo-update-helper").string(), "--discard", work.string()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(namesIn(work), (std::vector<std::string>{"active.lock", "failure.json", "request.json"}));
  EXPECT_EQ(readFile(work / "failure.json"), R"({"stage":"background","reason":"x"})");
  EXPECT_EQ(namesIn(applications), std::vector<std::string>{"Mirelo.app"});
  EXPECT_EQ(readFile(applications / "Mirelo.app" / "Contents" / "Info.plist"), "installed");
}

TEST(DiscardMode, DropsARecordThatNamesSomethingElseAndKeepsThatThing) {
  TempDir dir;
  const stdfs::path work = dir / "work";
  stdfs::create_directories(work);
  stdfs::create_directories(dir / "Applications" / "Mirelo.app");
  struct stat status {};
  ASSERT_EQ(::lstat((dir / "Applications").c_str(), &status), 0);
  // A record that names the folder of the installed application with its true identity.
  writeRecord(StagingClaim{(dir / "Applications").string(), static_cast<int64_t>(status.st_dev), status.st_ino},
              work / "prepared.json");
  writeFile(work / "claim.json", "not json");

  const ProcessResult result =
      runProcess({programPath("mirelo-update-helper").string(), "--discard", work.string()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(namesIn(work), std::vector<std::string>{"active.lock"});
  EXPECT_TRUE(stdfs::is_directory(dir / "Applications" / "Mirelo.app"));
}

}  // namespace
}  // namespace mirelo
