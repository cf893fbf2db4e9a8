#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/codesign.h"
#include "testing/bundle_fixture.h"
#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::outcomeOf;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const char kCannotVerify[] = "Cannot verify installed application identity";
const char kMismatch[] = "Update identity mismatch";
const char kChanged[] = "Prepared update signature changed";

class IdentityTest : public ::testing::Test {
 public:
  void SetUp() override {
    key_ = testing::makeSigningKey(dir_ / "developer.pem");
    otherKey_ = testing::makeSigningKey(dir_ / "other.pem");
    fs::create_directories(applications_);
    testing::writeBundle(installed_, {"com.example.mirelo", "1.0", "Mirelo"});
    testing::signWithTool(key_, installed_);
  }

  std::string shownCdhash(const fs::path& bundle) {
    testing::ProcessResult shown =
        testing::runProcess({testing::programPath("mirelo-codesign").string(), "show", bundle.string()});
    size_t start = shown.out.find("cdhash=") + 7;
    return shown.out.substr(start, shown.out.find('\n', start) - start);
  }

  TempDir dir_;
  fs::path key_;
  fs::path otherKey_;
  fs::path applications_ = dir_ / "Applications";
  fs::path installed_ = applications_ / "Mirelo.app";
};

TEST_F(IdentityTest, InspectsTheInstalledApplicationAtItsResolvedLocation) {
  fs::create_directory_symlink(applications_, dir_ / "Shortcut");
  InstalledApplication app = AtomicInstall::inspectInstalled(dir_ / "Shortcut/./Mirelo.app/");
  const fs::path real = fs::canonical(applications_);
  EXPECT_EQ(app.bundle, real / "Mirelo.app");
  EXPECT_EQ(app.parent, real);
  EXPECT_EQ(app.identifier, "com.example.mirelo");
  ASSERT_TRUE(app.requirement);
  EXPECT_EQ(app.requirement->text(),
            codesign::StaticCode::createWithPath(installed_).designatedRequirement().text());

  // A link to the bundle itself resolves too.
  fs::create_directory_symlink(installed_, dir_ / "Mirelo.app");
  EXPECT_EQ(AtomicInstall::inspectInstalled(dir_ / "Mirelo.app").bundle, real / "Mirelo.app");
}

TEST_F(IdentityTest, InstalledApplicationsThatCannotBeVerified) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  };
  const Case cases[] = {
      {"unsigned", [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); }},
      {"Info.plist missing", [](const fs::path& b) { fs::remove(b / "Contents/Info.plist"); }},
      {"Info.plist not a dictionary",
       [](const fs::path& b) {
         writeFile(b / "Contents/Info.plist", "<plist version=\"1.0\"><array><string>x</string></array></plist>");
       }},
      {"identifier not a string",
       [](const fs::path& b) {
         writeFile(b / "Contents/Info.plist",
                   "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><integer>1</integer></dict></plist>");
       }},
      {"bundle missing", [](const fs::path& b) { fs::remove_all(b); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(installed_);
    testing::writeBundle(installed_, {"com.example.mirelo", "1.0", "Mirelo"});
    testing::signWithTool(key_, installed_);
    c.change(installed_);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::inspectInstalled(installed_); }), kCannotVerify);
  }
}

TEST_F(IdentityTest, TheVolumeIsCheckedFirst) {
  EXPECT_EQ(outcomeOf([] { AtomicInstall::inspectInstalled("/proc/self/Mirelo.app"); }),
            "Atomic updates require a local APFS volume");
  // A parent that does not exist cannot be inspected.
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::inspectInstalled(dir_ / "missing/folder/Mirelo.app"); }),
            "Cannot inspect update volume");
}

// Root may write anywhere, so the check runs in a child that has become an ordinary user.
TEST_F(IdentityTest, AFolderThatIsNotWritableIsRefusedBeforeTheSignature) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  fs::remove_all(installed_ / "Contents/_CodeSignature");
  for (const fs::path& folder : {dir_.path(), applications_}) ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);

  const std::string outcome = testing::runInChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return std::string("cannot switch user");
    return outcomeOf([&] { AtomicInstall::inspectInstalled(installed_); });
  });
  EXPECT_EQ(outcome, "Update folder is not writable");
}

TEST_F(IdentityTest, CandidateIdentity) {
  InstalledApplication app = AtomicInstall::inspectInstalled(installed_);
  const fs::path candidate = dir_ / "Candidate.app";
  struct Case {
    const char* name;
    std::string plist;  // Contents/Info.plist; empty: none
    std::string version;
    std::string expected;
  };
  auto plist = [](const std::string& identifier, const std::string& version) {
    return testing::infoPlistXml({{"CFBundleIdentifier", identifier}, {"CFBundleShortVersionString", version}});
  };
  const Case cases[] = {
      {"same application, requested version", plist("com.example.mirelo", "2.0"), "2.0", "ok"},
      {"identifier differs in case", plist("com.example.Mirelo", "2.0"), "2.0", kMismatch},
      {"other identifier", plist("com.example.other", "2.0"), "2.0", kMismatch},
      {"other version", plist("com.example.mirelo", "2.0.1"), "2.0", kMismatch},
      {"version decomposed, requested composed", plist("com.example.mirelo", "2.0-be\xCC\x81ta"), "2.0-b\xC3\xA9ta",
       "ok"},
      {"version is a number",
       "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.mirelo</string>"
       "<key>CFBundleShortVersionString</key><real>2.0</real></dict></plist>",
       "2.0", kMismatch},
      {"no version", testing::infoPlistXml({{"CFBundleIdentifier", "com.example.mirelo"}}), "2.0", kMismatch},
      {"top level is an array", "<plist version=\"1.0\"><array/></plist>", "2.0", kMismatch},
      {"no Info.plist", "", "2.0", kMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(candidate);
    fs::create_directories(candidate / "Contents");
    if (!c.plist.empty()) writeFile(candidate / "Contents/Info.plist", c.plist);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireIdentity(candidate, app, c.version); }), c.expected);
  }

  // An Info.plist reached through a link is not read.
  fs::remove_all(candidate);
  fs::create_directories(candidate / "Contents");
  writeFile(dir_ / "elsewhere.plist", plist("com.example.mirelo", "2.0"));
  fs::create_symlink(dir_ / "elsewhere.plist", candidate / "Contents/Info.plist");
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireIdentity(candidate, app, "2.0"); }), kMismatch);
}

TEST_F(IdentityTest, CodeHashIsTheCodeDirectoryHash) {
  std::string cdhash = AtomicInstall::codeHash(codesign::StaticCode::createWithPath(installed_));
  EXPECT_EQ(cdhash.size(), 40u);
  EXPECT_EQ(cdhash, shownCdhash(installed_));
}

TEST_F(IdentityTest, PreparedSignature) {
  const std::shared_ptr<const codesign::Requirement> requirement =
      AtomicInstall::inspectInstalled(installed_).requirement;
  const fs::path prepared = dir_ / "Prepared.app";
  struct Case {
    const char* name;
    std::function<void(IdentityTest&, const fs::path&)> change;
    bool recordedAfterChange;  // the cdhash is taken after the change
    std::string expected;
  };
  const Case cases[] = {
      {"untouched", [](IdentityTest&, const fs::path&) {}, false, "ok"},
      // Resources are not validated here; the inventory digest covers them.
      {"resource changed", [](IdentityTest&, const fs::path& b) { writeFile(b / "Contents/Resources/readme.txt", "x"); },
       false, "ok"},
      {"signed again by the same developer",
       [](IdentityTest& t, const fs::path& b) {
         writeFile(b / "Contents/Resources/readme.txt", "x");
         testing::signWithTool(t.key_, b);
       },
       false, kChanged},
      {"signed by another developer", [](IdentityTest& t, const fs::path& b) { testing::signWithTool(t.otherKey_, b); },
       true, kChanged},
      {"Info.plist changed",
       [](IdentityTest&, const fs::path& b) {
         writeFile(b / "Contents/Info.plist", readFile(b / "Contents/Info.plist") + "\n");
       },
       true, kChanged},
      {"signature removed", [](IdentityTest&, const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); },
       false, kChanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(prepared);
    testing::writeBundle(prepared, {"com.example.mirelo", "2.0", "Mirelo"});
    testing::signWithTool(key_, prepared);
    std::string recorded = shownCdhash(prepared);
    c.change(*this, prepared);
    if (c.recordedAfterChange && fs::exists(prepared / "Contents/_CodeSignature")) recorded = shownCdhash(prepared);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireSignature(prepared, *requirement, recorded); }), c.expected);
  }
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireSignature(installed_, *requirement, std::string(40, '0')); }),
            kChanged);
}

}  // namespace
}  // namespace mirelo
