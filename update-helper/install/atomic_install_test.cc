// Install transactions on real signed bundles: candidates extracted from real archives or
// prepared by the real `mirelo-update-helper --prepare`, real exchanges, real processes.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/property_list.h"
#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/install/prepared_candidate.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using testing::outcomeOf;

const char kIdentifier[] = "com.mirelo.desktop";
const char kDoesNotMatch[] = "Prepared update does not match";
const char kChanged[] = "Prepared update changed";
const char kSignatureChanged[] = "Prepared update signature changed";
const char kStillRunning[] = "Application is still running";
// "Programmé" composed, and the same name decomposed (e + combining acute accent).
const char kFolderComposed[] = "Programm\xC3\xA9";
const char kFolderDecomposed[] = "Programme\xCC\x81";

std::string tool(const std::string& name) { return testing::programPath(name).string(); }

void mustRun(const std::vector<std::string>& argv) {
  const testing::ProcessResult result = testing::runProcess(argv);
  if (result.exitCode != 0) throw std::runtime_error(argv[0] + " failed: " + result.err);
}

void makeBundle(const fs::path& out, const std::string& version, const fs::path& key) {
  mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", kIdentifier, "--version", version, "--files", "12",
           "--bytes", "20000", "--key", key.string(), out.string()});
}

std::string versionOf(const fs::path& bundle) {
  const std::optional<PropertyListDictionary> info = PropertyListDictionary::readBundleInfo(bundle);
  if (!info) return "<no Info.plist>";
  return info->string("CFBundleShortVersionString").value_or("<no version>");
}

// The record that the real preparation wrote, read here without the store's decoder, which
// belongs to a layer above the install engine.
PreparedCandidate readPrepared(const fs::path& path) {
  const nlohmann::json json = nlohmann::json::parse(testing::readFile(path));
  PreparedCandidate record;
  record.schema = json.at("schema").get<int64_t>();
  record.version = json.at("version").get<std::string>();
  record.tag = json.at("tag").get<std::string>();
  record.target = json.at("target").get<std::string>();
  record.staging = json.at("staging").get<std::string>();
  record.stagingDevice = json.at("stagingDevice").get<int64_t>();
  record.stagingInode = json.at("stagingInode").get<uint64_t>();
  record.bundle = json.at("bundle").get<std::string>();
  record.candidateInode = json.at("candidateInode").get<uint64_t>();
  record.inventory = json.at("inventory").get<std::string>();
  record.cdhash = json.at("cdhash").get<std::string>();
  return record;
}

uint64_t inodeOf(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return status.st_ino;
}

// Keys, an installed application and update archives, made once for all tests.
struct Assets {
  testing::TempDir dir;
  fs::path key = dir / "developer.pem";
  fs::path otherKey = dir / "stranger.pem";
  fs::path installed = dir / "installed" / "Mirelo.app";
  fs::path archive = dir / "Mirelo-2.0.0.zip";
  fs::path strangerArchive = dir / "Mirelo-2.0.0-stranger.zip";

  Assets() {
    mustRun({tool("mirelo-codesign"), "keygen", key.string()});
    mustRun({tool("mirelo-codesign"), "keygen", otherKey.string()});
    makeBundle(installed.parent_path(), "1.0.0", key);
    makeBundle(dir / "update", "2.0.0", key);
    mustRun({tool("mirelo-sample-app"), "archive", (dir / "update" / "Mirelo.app").string(), archive.string()});
    makeBundle(dir / "stranger", "2.0.0", otherKey);
    mustRun({tool("mirelo-sample-app"), "archive", (dir / "stranger" / "Mirelo.app").string(),
             strangerArchive.string()});
  }
};

class InstallTransaction : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { assets_ = std::make_unique<Assets>(); }
  static void TearDownTestSuite() { assets_.reset(); }

  void SetUp() override {
    fs::create_directories(applications_);
    fs::create_directories(work_);
    mustRun({"/bin/cp", "-a", assets_->installed.string(), installed_.string()});
  }

  void TearDown() override {
    ChildProcesses::shared().setCheckpointForTesting({});
    ChildProcesses::shared().resetForTesting();
  }

  // Runs a real background preparation of the shared archive and returns its record.
  PreparedCandidate prepare() {
    const nlohmann::json request = {{"archive", assets_->archive.string()},
                                    {"executable", (installed_ / "Contents/MacOS/Mirelo").string()},
                                    {"version", "2.0.0"},
                                    {"tag", "stable"}};
    testing::writeFile(work_ / "request.json", request.dump());
    const testing::ProcessResult result =
        testing::runProcess({tool("mirelo-update-helper"), "--prepare", work_.string()});
    if (result.exitCode != 0) throw std::runtime_error("preparation failed: " + result.err);
    return readPrepared(work_ / "prepared.json");
  }

  std::vector<fs::path> stagingFolders(const fs::path& parent) const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(parent)) {
      if (UpdateStaging::isStagingName(entry.path().filename().string())) found.push_back(entry.path());
    }
    return found;
  }

  static std::unique_ptr<Assets> assets_;
  testing::TempDir dir_;
  fs::path root_ = fs::canonical(dir_.path());
  fs::path applications_ = root_ / kFolderComposed;
  fs::path installed_ = applications_ / "Mirelo.app";
  fs::path work_ = root_ / "jobs" / "prepare-1";
};

std::unique_ptr<Assets> InstallTransaction::assets_;

TEST_F(InstallTransaction, AdoptsAPreparedCandidateAndSwapsItIn) {
  const PreparedCandidate record = prepare();
  const uint64_t previousInode = inodeOf(installed_);
  const fs::path staging = record.staging;

  // The transaction's own process as the "application": commit(true) must not probe it.
  std::unique_ptr<AtomicInstall> transaction = AtomicInstall::adopting(record, installed_, "2.0.0", ::getpid());
  EXPECT_EQ(transaction->target(), installed_);
  EXPECT_EQ(transaction->staging(), staging);
  EXPECT_EQ(transaction->stagingOwner().directory(), staging);
  EXPECT_EQ(transaction->candidate(), staging / "Mirelo.app");
  EXPECT_EQ(transaction->parentPID(), ::getpid());
  EXPECT_FALSE(fs::exists(staging / "prepared"));
  EXPECT_EQ(inodeOf(transaction->candidate()), record.candidateInode);

  transaction->commit(true);
  EXPECT_EQ(inodeOf(installed_), record.candidateInode);
  EXPECT_EQ(versionOf(installed_), "2.0.0");
  EXPECT_EQ(inodeOf(transaction->candidate()), previousInode);
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");

  // Until the new version confirms its start, the previous one stays.
  transaction->stagingOwner().cleanup(false);
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");
  EXPECT_EQ(versionOf(installed_), "2.0.0");
  transaction->stagingOwner().cleanup(true);
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_EQ(versionOf(installed_), "2.0.0");
}

// What an adoption case may change before adopting.
struct Adoption {
  PreparedCandidate& record;
  fs::path& target;
  std::string& version;
  const fs::path& root;
  const fs::path& applications;
  fs::path parked;
  fs::path otherKey;
};

struct AdoptionCase {
  const char* name;
  void (*change)(Adoption&);
  std::string expected;
  // Whether the staging folder is still there afterwards (it always is after success).
  bool stagingKept;
};

const AdoptionCase kAdoptionCases[] = {
    {"as recorded", [](Adoption&) {}, "ok", true},
    {"target recorded decomposed",
     [](Adoption& a) { a.record.target = (a.root / kFolderDecomposed / "Mirelo.app").string(); }, "ok", true},
    {"target named through a link",
     [](Adoption& a) {
       fs::create_directory_symlink(a.applications / "Mirelo.app", a.root / "Link.app");
       a.target = a.root / "Link.app";
     },
     "ok", true},
    {"device beyond 32 bits", [](Adoption& a) { a.record.stagingDevice = 4294967296; }, kDoesNotMatch, true},
    {"device below 32 bits", [](Adoption& a) { a.record.stagingDevice = -2147483649LL; }, kDoesNotMatch, true},
    {"negative device", [](Adoption& a) { a.record.stagingDevice = -1; }, "Update folder identity changed", true},
    {"other folder inode", [](Adoption& a) { a.record.stagingInode += 1; }, "Update folder identity changed", true},
    {"folder name not a staging name",
     [](Adoption& a) { a.record.staging = (a.applications / "Mirelo.app").string(); }, "Unexpected update folder",
     true},
    {"installed application missing", [](Adoption& a) { a.target = a.applications / "Missing.app"; },
     "Cannot verify installed application identity", true},
    {"schema 2", [](Adoption& a) { a.record.schema = 2; }, kDoesNotMatch, false},
    {"other recorded version", [](Adoption& a) { a.record.version = "2.0.1"; }, kDoesNotMatch, false},
    {"other requested version", [](Adoption& a) { a.version = "2.0.1"; }, kDoesNotMatch, false},
    {"other recorded target", [](Adoption& a) { a.record.target = (a.applications / "Other.app").string(); },
     kDoesNotMatch, false},
    {"application moved",
     [](Adoption& a) {
       fs::create_directory(a.root / "Elsewhere");
       fs::rename(a.applications / "Mirelo.app", a.root / "Elsewhere" / "Mirelo.app");
       a.target = a.root / "Elsewhere" / "Mirelo.app";
     },
     kDoesNotMatch, false},
    {"application moved and recorded so",
     [](Adoption& a) {
       fs::create_directory(a.root / "Elsewhere");
       fs::rename(a.applications / "Mirelo.app", a.root / "Elsewhere" / "Mirelo.app");
       a.target = a.root / "Elsewhere" / "Mirelo.app";
       a.record.target = a.target.string();
     },
     kDoesNotMatch, false},
    {"bundle .app", [](Adoption& a) { a.record.bundle = ".app"; }, kDoesNotMatch, false},
    {"bundle x/y.app", [](Adoption& a) { a.record.bundle = "x/y.app"; }, kDoesNotMatch, false},
    {"bundle without suffix", [](Adoption& a) { a.record.bundle = "Mirelo"; }, kDoesNotMatch, false},
    {"parked candidate gone", [](Adoption& a) { fs::rename(a.parked, a.root / "taken"); }, kChanged, false},
    {"parked candidate replaced", [](Adoption& a) { a.record.candidateInode += 1; }, kChanged, false},
    {"bundle name taken in the folder",
     [](Adoption& a) { fs::create_directory(a.parked.parent_path() / "Mirelo.app"); }, kChanged, false},
    {"version in the bundle changed",
     [](Adoption& a) {
       std::string plist = testing::readFile(a.parked / "Contents/Info.plist");
       plist.replace(plist.find("2.0.0"), 5, "2.0.1");
       testing::writeFile(a.parked / "Contents/Info.plist", plist);
     },
     "Update identity mismatch", false},
    {"signed by someone else",
     [](Adoption& a) { mustRun({tool("mirelo-codesign"), "sign", "--key", a.otherKey, a.parked}); },
     kSignatureChanged, false},
    {"other code hash", [](Adoption& a) { a.record.cdhash[0] = a.record.cdhash[0] == '0' ? '1' : '0'; },
     kSignatureChanged, false},
    {"resource rewritten",
     [](Adoption& a) {
       testing::writeFile(a.parked / "Contents/Resources/en.lproj/Localizable.strings", "\"Quit\" = \"Leave\";\n");
     },
     kChanged, false},
    {"other inventory", [](Adoption& a) { a.record.inventory[0] = a.record.inventory[0] == '0' ? '1' : '0'; },
     kChanged, false},
};

class AdoptionCheck : public InstallTransaction, public ::testing::WithParamInterface<AdoptionCase> {};

TEST_P(AdoptionCheck, ChecksEverythingItRecorded) {
  const AdoptionCase& test = GetParam();
  PreparedCandidate record = prepare();
  const fs::path staging = record.staging;
  fs::path target = installed_;
  std::string version = "2.0.0";
  Adoption adoption{record, target, version, root_, applications_, staging / "prepared", assets_->otherKey};
  test.change(adoption);

  std::unique_ptr<AtomicInstall> transaction;
  EXPECT_EQ(outcomeOf([&] { transaction = AtomicInstall::adopting(record, target, version, 1); }), test.expected);
  EXPECT_EQ(fs::exists(staging), test.stagingKept);
  if (test.expected == "ok") {
    ASSERT_TRUE(transaction);
    EXPECT_EQ(transaction->target(), installed_);
    EXPECT_EQ(versionOf(transaction->candidate()), "2.0.0");
    EXPECT_FALSE(transaction->exchanged());
    // Letting go of the transaction leaves its folder and candidate alone.
    const fs::path candidate = transaction->candidate();
    transaction.reset();
    EXPECT_EQ(versionOf(candidate), "2.0.0");
  } else if (test.stagingKept) {
    // Refused before the folder was proven ours: it and its parked candidate are untouched.
    EXPECT_TRUE(fs::is_directory(staging / "prepared"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AdoptionCheck, ::testing::ValuesIn(kAdoptionCases),
                         [](const ::testing::TestParamInfo<AdoptionCase>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c) {
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           }
                           return name;
                         });

// Cancellation (SIGTERM, the session's deadline) is noticed between the steps of an adoption
// and inside its inventory walk. Before the folder is adopted nothing is removed; after, the
// folder goes like after any other failure.
TEST_F(InstallTransaction, CancelledAdoptionRemovesTheAdoptedFolder) {
  // How many checkpoints a whole adoption passes (the inventory's own come every 256 items
  // and are counted in inventory_test.cc).
  const PreparedCandidate probe = prepare();
  int total = 0;
  ChildProcesses::shared().setCheckpointForTesting([&] { ++total; });
  {
    std::unique_ptr<AtomicInstall> transaction = AtomicInstall::adopting(probe, installed_, "2.0.0", 1);
    transaction->stagingOwner().cleanup(false);
  }
  ChildProcesses::shared().setCheckpointForTesting({});
  // After adopting the folder, then between the later steps; none before the folder is
  // adopted, where a cancellation would leave it without an owner.
  ASSERT_GE(total, 4);

  for (int cancelAt = 1; cancelAt <= total; ++cancelAt) {
    SCOPED_TRACE(cancelAt);
    ChildProcesses::shared().resetForTesting();
    const PreparedCandidate record = prepare();
    const fs::path staging = record.staging;
    int checkpoints = 0;
    ChildProcesses::shared().setCheckpointForTesting([&] {
      if (++checkpoints == cancelAt) ChildProcesses::shared().cancel();
    });
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::adopting(record, installed_, "2.0.0", 1); }), "cancelled");
    EXPECT_EQ(checkpoints, cancelAt);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(versionOf(installed_), "1.0.0");
  }
}

TEST_F(InstallTransaction, BuildsFromAnArchiveAndSwapsItIn) {
  std::unique_ptr<AtomicInstall> transaction = AtomicInstall::fromArchive(assets_->archive, installed_, "2.0.0", 7);
  EXPECT_EQ(transaction->target(), installed_);
  EXPECT_EQ(transaction->staging().parent_path(), applications_);
  EXPECT_EQ(transaction->stagingOwner().directory(), transaction->staging());
  EXPECT_EQ(transaction->candidate(), transaction->staging() / "Mirelo.app");
  EXPECT_EQ(transaction->parentPID(), 7);
  EXPECT_EQ(versionOf(transaction->candidate()), "2.0.0");

  transaction->commit(true);
  EXPECT_EQ(versionOf(installed_), "2.0.0");
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");
  transaction->stagingOwner().cleanup(true);
  EXPECT_TRUE(stagingFolders(applications_).empty());
}

TEST_F(InstallTransaction, FailedArchiveLeavesNoStagingFolder) {
  struct Case {
    const char* name;
    fs::path archive;
    std::string version;
    std::function<void()> atCheckpoint;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"other version", assets_->archive, "3.0.0", {}, "Update identity mismatch"},
      {"signed by someone else", assets_->strangerArchive, "2.0.0", {}, "Update signature mismatch"},
      {"cancelled after unpacking", assets_->archive, "2.0.0", [] { ChildProcesses::shared().cancel(); },
       "cancelled"},
      {"archive missing", root_ / "missing.zip", "2.0.0", {}, "Update preparation failed"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ChildProcesses::shared().resetForTesting();
    ChildProcesses::shared().setCheckpointForTesting(test.atCheckpoint);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::fromArchive(test.archive, installed_, test.version, 7); }),
              test.expected);
    EXPECT_TRUE(stagingFolders(applications_).empty());
    EXPECT_EQ(versionOf(installed_), "1.0.0");
  }
}

TEST_F(InstallTransaction, CommitWaitsForTheApplicationToExit) {
  testing::BackgroundProcess application({"/bin/sleep", "30"});
  std::unique_ptr<AtomicInstall> transaction =
      AtomicInstall::adopting(prepare(), installed_, "2.0.0", application.pid());

  EXPECT_EQ(outcomeOf([&] { transaction->commit(false); }), kStillRunning);
  EXPECT_FALSE(transaction->exchanged());
  EXPECT_EQ(versionOf(installed_), "1.0.0");
  EXPECT_EQ(versionOf(transaction->candidate()), "2.0.0");
  // Not marked replaced: an unconfirmed cleanup still removes the folder.
  transaction->stagingOwner().cleanup(false);
  EXPECT_FALSE(fs::exists(transaction->staging()));
}

TEST_F(InstallTransaction, CommitsOnceTheApplicationHasExited) {
  testing::BackgroundProcess application({"/bin/sleep", "30"});
  std::unique_ptr<AtomicInstall> transaction =
      AtomicInstall::adopting(prepare(), installed_, "2.0.0", application.pid());
  application.signal(SIGKILL);
  application.wait();

  EXPECT_FALSE(transaction->exchanged());
  transaction->commit(false);
  EXPECT_TRUE(transaction->exchanged());
  EXPECT_EQ(versionOf(installed_), "2.0.0");
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");
}

TEST_F(InstallTransaction, CommitWhoseFlushFailsReportsTheExchangeAsDone) {
  std::unique_ptr<AtomicInstall> transaction = AtomicInstall::adopting(prepare(), installed_, "2.0.0", 1);
  // Without its Info.plist the new bundle in place cannot be opened for the volume flush.
  fs::remove(transaction->candidate() / "Contents/Info.plist");
  EXPECT_EQ(outcomeOf([&] { transaction->commit(true); }), "Cannot open update volume");
  EXPECT_TRUE(transaction->exchanged());
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");
  // Marked replaced: an unconfirmed cleanup keeps the previous application.
  transaction->stagingOwner().cleanup(false);
  EXPECT_EQ(versionOf(transaction->candidate()), "1.0.0");
}

TEST_F(InstallTransaction, RequireParentExitTrustsOnlyAnObservedExitOrNoSuchProcess) {
  testing::BackgroundProcess running({"/bin/sleep", "30"});
  testing::BackgroundProcess finished({"/bin/true"});
  finished.wait();
  struct Case {
    const char* name;
    pid_t pid;
    bool observed;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"running, not observed", running.pid(), false, kStillRunning},
      {"running, observed", running.pid(), true, "ok"},
      {"process group 0", 0, false, kStillRunning},
      {"process group 0, observed", 0, true, "ok"},
      {"gone", finished.pid(), false, "ok"},
      {"this process", ::getpid(), false, kStillRunning},
      // Signal 0 to init succeeds for root and fails with EPERM for anyone else: both mean running.
      {"init", 1, false, kStillRunning},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(outcomeOf([&] { AtomicInstall::requireParentExit(test.pid, test.observed); }), test.expected);
  }
}

TEST_F(InstallTransaction, SwapExchangesOrChangesNothing) {
  const fs::path candidate = root_ / "candidate" / "Mirelo.app";
  makeBundle(candidate.parent_path(), "2.0.0", assets_->key);
  int replaced = 0;

  EXPECT_EQ(outcomeOf([&] { AtomicInstall::swap(root_ / "missing.app", installed_, [&] { ++replaced; }); }),
            "Atomic replacement failed");
  EXPECT_EQ(replaced, 0);
  EXPECT_EQ(versionOf(installed_), "1.0.0");

  AtomicInstall::swap(candidate, installed_, [&] { ++replaced; });
  EXPECT_EQ(replaced, 1);
  EXPECT_EQ(versionOf(installed_), "2.0.0");
  EXPECT_EQ(versionOf(candidate), "1.0.0");

  // Without a callback.
  AtomicInstall::swap(candidate, installed_);
  EXPECT_EQ(versionOf(installed_), "1.0.0");
}

TEST_F(InstallTransaction, SwapReportsAFailedFlushWithTheExchangeDone) {
  // The new "bundle" has no Contents/Info.plist, so the final volume flush cannot open it.
  const fs::path candidate = root_ / "candidate" / "Empty.app";
  fs::create_directories(candidate);
  int replaced = 0;
  EXPECT_EQ(outcomeOf([&] { AtomicInstall::swap(candidate, installed_, [&] { ++replaced; }); }),
            "Cannot open update volume");
  EXPECT_EQ(replaced, 1);
  EXPECT_EQ(versionOf(candidate), "1.0.0");
  EXPECT_FALSE(fs::exists(installed_ / "Contents"));
}

}  // namespace
}  // namespace mirelo
