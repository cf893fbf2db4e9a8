#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "testing/bundle_fixture.h"
#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::outcomeOf;
using testing::TempDir;
using testing::writeFile;

// The regular files below `folder`, links not followed.
int regularFilesIn(const fs::path& folder) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.symlink_status().type() == fs::file_type::regular) ++count;
  }
  return count;
}

class ExtractionTest : public ::testing::Test {
 public:
  void SetUp() override {
    ChildProcesses::shared().resetForTesting();
    key_ = testing::makeSigningKey(dir_ / "developer.pem");
    otherKey_ = testing::makeSigningKey(dir_ / "other.pem");
    fs::create_directories(applications_);
    testing::writeBundle(applications_ / "Mirelo.app", {"com.example.mirelo", "1.0", "Mirelo"});
    testing::signWithTool(key_, applications_ / "Mirelo.app");
    installed_ = AtomicInstall::inspectInstalled(applications_ / "Mirelo.app");
  }

  void TearDown() override {
    ChildProcesses::shared().setCheckpointForTesting({});
    ChildProcesses::shared().resetForTesting();
  }

  // A fresh update bundle in build/, to be changed and then archived.
  fs::path makeUpdate(const testing::BundleInfo& info = {"com.example.mirelo", "2.0", "Mirelo"},
                      const std::string& name = "Mirelo.app") {
    fs::remove_all(dir_ / "build");
    fs::create_directories(dir_ / "build");
    fs::path bundle = dir_ / "build" / name;
    testing::writeBundle(bundle, info);
    return bundle;
  }

  // zip -ry from the bundle's folder, as a release is packed.
  fs::path archive(const fs::path& bundle) {
    fs::path zip = dir_ / "update.zip";
    fs::remove(zip);
    testing::ProcessResult zipped = testing::runShell("cd '" + bundle.parent_path().string() + "' && zip -qry '" +
                                                      zip.string() + "' '" + bundle.filename().string() + "'");
    EXPECT_EQ(zipped.exitCode, 0) << zipped.err;
    return zip;
  }

  // Extracts into a new staging folder and returns how it ended; `candidate` gets the result.
  std::string extract(const fs::path& zip, const std::string& bundle = "Mirelo.app", const std::string& version = "2.0",
                      fs::path* candidate = nullptr) {
    UpdateStaging staging(installed_.parent);
    return outcomeOf([&] {
      fs::path result = AtomicInstall::extract(zip, ArchiveContents{bundle, 0, std::nullopt}, staging, installed_, version);
      if (candidate != nullptr) *candidate = result;
      EXPECT_EQ(result, staging.directory() / bundle);
    });
  }

  // Regular files added to the unsigned bundle so that it holds `total` of them once signed.
  // How many files signing adds is measured once on a bundle of its own.
  void fillTo(const fs::path& bundle, int total) {
    if (signatureFiles_ < 0) {
      const fs::path probe = dir_ / "probe" / "Mirelo.app";
      testing::writeBundle(probe, {"com.example.mirelo", "2.0", "Mirelo"});
      const int unsigned_ = regularFilesIn(probe);
      testing::signWithTool(key_, probe);
      signatureFiles_ = regularFilesIn(probe) - unsigned_;
      fs::remove_all(probe.parent_path());
    }
    fs::create_directories(bundle / "Contents/Resources/fill");
    for (int i = regularFilesIn(bundle) + signatureFiles_; i < total; ++i) {
      writeFile(bundle / "Contents/Resources/fill" / ("f" + std::to_string(i)), std::to_string(i));
    }
  }

  TempDir dir_;
  fs::path key_;
  fs::path otherKey_;
  fs::path applications_ = dir_ / "Applications";
  InstalledApplication installed_;
  int signatureFiles_ = -1;
};

TEST_F(ExtractionTest, ExtractsAVerifiedCandidateWithItsLinks) {
  fs::path update = makeUpdate();
  fs::create_directory_symlink("en.lproj", update / "Contents/Resources/Base.lproj");
  writeFile(update / "Contents/Resources/.hidden", "hidden");
  ::chmod((update / "Contents/Resources/readme.txt").c_str(), 0600);
  testing::signWithTool(key_, update);
  fs::path candidate;
  ASSERT_EQ(extract(archive(update), "Mirelo.app", "2.0", &candidate), "ok");

  EXPECT_EQ(candidate.parent_path().parent_path(), installed_.parent);
  EXPECT_TRUE(fs::is_symlink(candidate / "Contents/Resources/Base.lproj"));
  EXPECT_EQ(fs::read_symlink(candidate / "Contents/Resources/Base.lproj"), "en.lproj");
  EXPECT_EQ(testing::readFile(candidate / "Contents/Resources/.hidden"), "hidden");
  EXPECT_EQ(fs::status(candidate / "Contents/MacOS/Mirelo").permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_EQ(fs::status(candidate / "Contents/Resources/readme.txt").permissions() & fs::perms::all, fs::perms(0600));
}

TEST_F(ExtractionTest, RefusedUpdates) {
  struct Case {
    const char* name;
    std::function<fs::path(ExtractionTest&)> make;  // returns the archive
    std::string bundle;
    std::string expected;
  };
  const Case cases[] = {
      {"bundle name differs from the inspected one",
       [](ExtractionTest& t) {
         fs::path u = t.makeUpdate();
         testing::signWithTool(t.key_, u);
         return t.archive(u);
       },
       "Other.app", "Update identity mismatch"},
      // Unsigned, so the identity must have been checked before the signature.
      {"other version, unsigned",
       [](ExtractionTest& t) { return t.archive(t.makeUpdate({"com.example.mirelo", "2.1", "Mirelo"})); }, "Mirelo.app",
       "Update identity mismatch"},
      {"other application",
       [](ExtractionTest& t) {
         fs::path u = t.makeUpdate({"com.example.other", "2.0", "Mirelo"});
         testing::signWithTool(t.key_, u);
         return t.archive(u);
       },
       "Mirelo.app", "Update identity mismatch"},
      {"unsigned", [](ExtractionTest& t) { return t.archive(t.makeUpdate()); }, "Mirelo.app",
       "Update signature mismatch"},
      {"signed by another developer",
       [](ExtractionTest& t) {
         fs::path u = t.makeUpdate();
         testing::signWithTool(t.otherKey_, u);
         return t.archive(u);
       },
       "Mirelo.app", "Update signature mismatch"},
      {"file added after signing",
       [](ExtractionTest& t) {
         fs::path u = t.makeUpdate();
         testing::signWithTool(t.key_, u);
         writeFile(u / "Contents/Resources/added.txt", "x");
         return t.archive(u);
       },
       "Mirelo.app", "Update signature mismatch"},
      {"signed link leading out of the bundle",
       [](ExtractionTest& t) {
         fs::path u = t.makeUpdate();
         fs::create_symlink("../../../../Applications", u / "Contents/Resources/apps");
         testing::signWithTool(t.key_, u);
         return t.archive(u);
       },
       "Mirelo.app", "Update signature mismatch"},
      {"not an archive",
       [](ExtractionTest& t) {
         writeFile(t.dir_ / "update.zip", "not a zip");
         return t.dir_ / "update.zip";
       },
       "Mirelo.app", "Update preparation failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path zip = c.make(*this);
    EXPECT_EQ(extract(zip, c.bundle), c.expected);
  }
}

TEST_F(ExtractionTest, CancelledBeforeTheToolStarts) {
  fs::path update = makeUpdate();
  testing::signWithTool(key_, update);
  fs::path zip = archive(update);
  ChildProcesses::shared().cancel();
  UpdateStaging staging(installed_.parent);
  EXPECT_EQ(outcomeOf([&] {
              AtomicInstall::extract(zip, ArchiveContents{"Mirelo.app", 0, std::nullopt}, staging, installed_, "2.0");
            }),
            "cancelled");
  EXPECT_TRUE(fs::is_empty(staging.directory()));
}

TEST_F(ExtractionTest, CancellationIsPolledBeforeTheWalkAndEvery256Files) {
  struct Case {
    int files;
    int checkpoints;
  };
  const Case cases[] = {{255, 1}, {256, 2}, {511, 2}, {512, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files);
    fs::path update = makeUpdate();
    fillTo(update, c.files);
    testing::signWithTool(key_, update);
    fs::path zip = archive(update);
    int checkpoints = 0;
    ChildProcesses::shared().setCheckpointForTesting([&] { ++checkpoints; });
    fs::path candidate;
    EXPECT_EQ(extract(zip, "Mirelo.app", "2.0", &candidate), "ok");
    // The boundaries are those of the files really flushed.
    EXPECT_EQ(regularFilesIn(candidate), c.files);
    EXPECT_EQ(checkpoints, c.checkpoints);
  }
}

TEST_F(ExtractionTest, CancellationNoticedAtACheckpointStopsTheFlush) {
  fs::path update = makeUpdate();
  fillTo(update, 300);
  testing::signWithTool(key_, update);
  fs::path zip = archive(update);
  for (int cancelAt : {1, 2}) {
    SCOPED_TRACE(cancelAt);
    ChildProcesses::shared().resetForTesting();
    int checkpoints = 0;
    ChildProcesses::shared().setCheckpointForTesting([&] {
      if (++checkpoints == cancelAt) ChildProcesses::shared().cancel();
    });
    EXPECT_EQ(extract(zip), "cancelled");
    EXPECT_EQ(checkpoints, cancelAt);
  }
}

// Links to a folder full of files and to a file: if the walk went through them, more than
// 255 files would be flushed and a second checkpoint would come.
TEST_F(ExtractionTest, LinksAreNeitherFollowedNorFlushed) {
  fs::path update = makeUpdate();
  fillTo(update, 255);
  fs::create_directory_symlink("fill", update / "Contents/Resources/fill-link");
  fs::create_symlink("fill/f10", update / "Contents/Resources/file-link");
  testing::signWithTool(key_, update);
  fs::path zip = archive(update);
  int checkpoints = 0;
  ChildProcesses::shared().setCheckpointForTesting([&] { ++checkpoints; });
  fs::path candidate;
  EXPECT_EQ(extract(zip, "Mirelo.app", "2.0", &candidate), "ok");
  EXPECT_EQ(checkpoints, 1);
  EXPECT_TRUE(fs::is_symlink(candidate / "Contents/Resources/fill-link"));
}

}  // namespace
}  // namespace mirelo
