#include "update-helper/install/prepared_candidate.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/failure_capture.h"
#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace stdfs = std::filesystem;
using ::mirelo::testing::namesIn;
using ::mirelo::testing::outcomeOf;
using ::mirelo::testing::readFile;
using ::mirelo::testing::TempDir;
using ::mirelo::testing::writeFile;

class ParkedCandidate : public ::testing::Test {
 protected:
  void SetUp() override {
    staging_ = dir_ / ".mirelo-update-6F1C2A9E-3B7D-4E58-A0C4-95D2E8B17F30";
    stdfs::create_directories(staging_ / "Mirelo.app" / "Contents");
    writeFile(staging_ / "Mirelo.app" / "Contents" / "Info.plist", "new");
    candidate_.bundle = "Mirelo.app";
    candidate_.candidateInode = park(staging_ / "Mirelo.app", staging_);
  }

  TempDir dir_;
  stdfs::path staging_;
  PreparedCandidate candidate_;
};

TEST_F(ParkedCandidate, ParkAndUnparkKeepTheInode) {
  EXPECT_EQ(namesIn(staging_), std::vector<std::string>{"prepared"});
  struct stat status {};
  ASSERT_EQ(::lstat((staging_ / "prepared").c_str(), &status), 0);
  EXPECT_EQ(status.st_ino, candidate_.candidateInode);
  EXPECT_EQ(candidate_.unpark(staging_), staging_ / "Mirelo.app");
  EXPECT_EQ(namesIn(staging_), std::vector<std::string>{"Mirelo.app"});
  EXPECT_EQ(readFile(staging_ / "Mirelo.app" / "Contents" / "Info.plist"), "new");
}

TEST_F(ParkedCandidate, ParkNeverReplacesAnything) {
  stdfs::create_directories(staging_ / "Other.app");
  EXPECT_EQ(outcomeOf([&] { park(staging_ / "Other.app", staging_); }), "Cannot park prepared update");
  EXPECT_EQ(outcomeOf([&] { park(staging_ / "Absent.app", staging_); }), "Cannot park prepared update");
  EXPECT_EQ(readFile(staging_ / "prepared" / "Contents" / "Info.plist"), "new");
  EXPECT_TRUE(stdfs::is_directory(staging_ / "Other.app"));
}

TEST_F(ParkedCandidate, UnparkRefusesAnythingButTheParkedFolder) {
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const stdfs::path aside = dir_ / "aside";
  const std::vector<Case> cases = {
      {"destination taken", [&] { stdfs::create_directory(staging_ / "Mirelo.app"); }},
      {"destination is a link", [&] { stdfs::create_symlink(dir_ / "nowhere", staging_ / "Mirelo.app"); }},
      {"parked is a file",
       [&] {
         stdfs::rename(staging_ / "prepared", aside);
         writeFile(staging_ / "prepared", "");
       }},
      {"parked is another folder",
       [&] {
         stdfs::rename(staging_ / "prepared", aside);
         stdfs::create_directory(staging_ / "prepared");
       }},
      {"parked is a link to the candidate",
       [&] {
         stdfs::rename(staging_ / "prepared", aside);
         stdfs::create_directory_symlink(aside, staging_ / "prepared");
       }},
      {"parked is missing", [&] { stdfs::rename(staging_ / "prepared", aside); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    const auto before = namesIn(staging_);
    EXPECT_EQ(outcomeOf([&] { candidate_.unpark(staging_); }), "Prepared update changed");
    EXPECT_EQ(namesIn(staging_), before);
    // Restore the parked candidate for the next case.
    stdfs::remove_all(staging_ / "Mirelo.app");
    if (stdfs::exists(stdfs::symlink_status(aside))) {
      stdfs::remove_all(staging_ / "prepared");
      stdfs::rename(aside, staging_ / "prepared");
    }
  }
  EXPECT_EQ(candidate_.unpark(staging_), staging_ / "Mirelo.app");
}

}  // namespace
}  // namespace mirelo
