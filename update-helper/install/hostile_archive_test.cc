// Archives as an attacker would pack them, and as every honest tool packs them, run through
// inspection and extraction against the real unzip with a real signed application.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/codesign.h"
#include "platform/fs.h"
#include "testing/bundle_fixture.h"
#include "testing/failure_capture.h"
#include "testing/test_support.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/staging/child_processes.h"
#include "update-helper/staging/update_staging.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using testing::outcomeOf;
using testing::TempDir;
using testing::writeFile;

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

class HostileArchiveTest : public ::testing::Test {
 public:
  void SetUp() override {
    ChildProcesses::shared().resetForTesting();
    key_ = testing::makeSigningKey(dir_ / "developer.pem");
    fs::create_directories(applications_);
    testing::writeBundle(applications_ / "Mirelo.app", {"com.example.mirelo", "1.0", "Mirelo"});
    testing::signWithTool(key_, applications_ / "Mirelo.app");
    installed_ = AtomicInstall::inspectInstalled(applications_ / "Mirelo.app");
    update_ = dir_ / "build" / "Mirelo.app";
    testing::writeBundle(update_, {"com.example.mirelo", "2.0", "Mirelo"});
    fs::create_directory_symlink("en.lproj", update_ / "Contents/Resources/Base.lproj");
    testing::signWithTool(key_, update_);
  }
  void TearDown() override { ChildProcesses::shared().resetForTesting(); }

  // Inspection, then extraction into a new staging folder that is removed again: "ok" or
  // the failure's text.
  std::string prepare(const fs::path& zip, const std::function<void(ArchiveContents&)>& edit = {}) {
    std::optional<UpdateStaging> staging;
    std::string outcome = outcomeOf([&] {
      ArchiveContents contents = AtomicInstall::inspectArchive(zip);
      if (edit) edit(contents);
      staging.emplace(installed_.parent);
      AtomicInstall::extract(zip, contents, *staging, installed_, "2.0");
    });
    if (staging) staging->cleanup();
    return outcome;
  }

  fs::path shell(const std::string& command, const std::string& name = "update.zip") {
    const fs::path zip = dir_ / name;
    fs::remove(zip);
    testing::ProcessResult result = testing::runShell("cd '" + (dir_ / "build").string() + "' && " + command + " '" +
                                                      zip.string() + "' Mirelo.app");
    EXPECT_EQ(result.exitCode, 0) << command << ": " << result.err;
    return zip;
  }

  fs::path craft(const std::vector<json>& entries) {
    const fs::path zip = dir_ / "crafted.zip";
    fs::remove(zip);
    testing::ProcessResult result = testing::runProcess(
        {"/usr/bin/python3", (testing::sourceDir() / "update-helper/install/testdata/craft_zip.py").string(),
         zip.string()},
        json(entries).dump());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return zip;
  }

  // Nothing but the installed application is left beside it.
  void expectNothingLeft() {
    EXPECT_EQ(testing::namesIn(applications_), std::vector<std::string>{"Mirelo.app"});
    EXPECT_NO_THROW(codesign::StaticCode::createWithPath(applications_ / "Mirelo.app")
                        .checkValidity(codesign::kCheckNestedCode | codesign::kStrictValidate, nullptr));
  }

  TempDir dir_;
  fs::path key_;
  fs::path applications_ = dir_ / "Applications";
  fs::path update_;
  InstalledApplication installed_;
};

TEST_F(HostileArchiveTest, HonestArchiveToolsStillPrepare) {
  const std::string python =
      "python3 -c 'import os, stat, sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED)\n"
      "for top, folders, files in os.walk(sys.argv[2]):\n"
      "  for n in sorted(folders + files):\n"
      "    p = os.path.join(top, n)\n"
      "    if os.path.islink(p):\n"
      "      i = zipfile.ZipInfo(p); i.create_system = 3; i.external_attr = (stat.S_IFLNK | 0o777) << 16\n"
      "      z.writestr(i, os.readlink(p))\n"
      "      folders.remove(n) if n in folders else None\n"
      "    else:\n"
      "      z.write(p)\n"
      "z.close()'";
  struct Packer {
    const char* name;
    const char* tool;  // must be installed
    std::string command;
  };
  const Packer packers[] = {
      {"zip -ry", "/usr/bin/zip", "zip -qry"},
      {"zip -ry without folder entries", "/usr/bin/zip", "zip -qryD"},
      {"bsdtar", "/usr/bin/bsdtar", "bsdtar --format zip -cf"},
      {"7-Zip with links stored as links", "/usr/bin/7z", "7z a -tzip -snl -bd -bso0 -bsp0"},
      {"Python zipfile", "/usr/bin/python3", python},
  };
  for (const Packer& p : packers) {
    SCOPED_TRACE(p.name);
    if (!fs::exists(p.tool)) {
      ADD_FAILURE() << p.tool << " is missing: tools/install-deps.sh installs it";
      continue;
    }
    const fs::path zip = shell(p.command);
    EXPECT_EQ(prepare(zip), "ok");
    expectNothingLeft();
  }
}

TEST_F(HostileArchiveTest, ModesThatTheSignatureDoesNotAllow) {
  struct Case {
    const char* name;
    const char* item;
    mode_t mode;
    const char* expected;
  };
  const Case cases[] = {
      {"file writable by everyone", "Contents/Resources/readme.txt", 0666, "Unsafe archive entry"},
      {"file writable by the group", "Contents/Resources/readme.txt", 0664, "Unsafe archive entry"},
      {"folder writable by everyone", "Contents/Resources", 0777, "Unsafe archive entry"},
      {"bundle folder writable by everyone", "", 0777, "Unsafe archive entry"},
      {"set-user-id file", "Contents/MacOS/Mirelo", 04755, "Unsafe archive entry"},
      {"folder closed to its owner", "Contents/Resources", 0500, "Unsafe archive entry"},
      {"main program not executable", "Contents/MacOS/Mirelo", 0644, "Update signature mismatch"},
      {"data file made executable", "Contents/Resources/readme.txt", 0755, "Update signature mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path item = update_ / c.item;
    struct stat before {};
    ASSERT_EQ(::lstat(item.c_str(), &before), 0);
    ::chmod(item.c_str(), c.mode);
    const fs::path zip = shell("zip -qry");
    ::chmod(item.c_str(), before.st_mode & 07777);
    EXPECT_EQ(prepare(zip), c.expected);
    expectNothingLeft();
  }
}

TEST_F(HostileArchiveTest, EntriesThatTheListingDoesNotShowAsTheyAre) {
  // Defence in depth: a link that unzip creates but the listing did not declare.
  const fs::path zip = shell("zip -qry");
  EXPECT_EQ(prepare(zip, [](ArchiveContents& contents) { contents.listed->links.clear(); }), "Unsafe archive entry");
  expectNothingLeft();
  // An archive exchanged for another one between inspection and extraction.
  EXPECT_EQ(prepare(zip, [](ArchiveContents& contents) { contents.listed->archive.inode += 1; }),
            "Invalid update archive");
  // Entries of hosts whose kinds the listing cannot tell.
  for (int system : {2, 10, 19}) {
    SCOPED_TRACE(system);
    const fs::path crafted = craft({{{"name", "Mirelo.app/Contents/x"}, {"data", "x"}, {"system", system}}});
    EXPECT_EQ(prepare(crafted), "Unsafe archive entry");
  }
}

TEST_F(HostileArchiveTest, ASizeThatLiesStopsTheExtraction) {
  // 96 MiB of zeros that declare one byte, beside an honest bundle.
  std::vector<json> entries;
  for (const auto& entry : fs::recursive_directory_iterator(update_)) {
    const std::string name = "Mirelo.app/" + entry.path().lexically_relative(update_).string();
    if (entry.is_symlink()) {
      entries.push_back({{"name", name}, {"kind", "link"}, {"data", fs::read_symlink(entry.path()).string()}});
    } else if (entry.is_directory()) {
      entries.push_back({{"name", name + "/"}, {"kind", "dir"}});
    } else {
      struct stat status {};
      ::lstat(entry.path().c_str(), &status);
      entries.push_back({{"name", name}, {"data_hex", hex(testing::readFile(entry.path()))}, {"mode", 0100000 | (status.st_mode & 0777)}});
    }
  }
  entries.push_back({{"name", "Mirelo.app/Contents/Resources/bomb"}, {"data", std::string(1 << 20, '\0')},
                     {"repeat", 96}, {"deflate", true}, {"size", 1}});
  const fs::path zip = craft(entries);
  ASSERT_LT(fs::file_size(zip), 2u << 20);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(prepare(zip), "Invalid update archive");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  expectNothingLeft();
}

TEST_F(HostileArchiveTest, AnArchiveThatIsNotARegularFileIsRefusedAtOnce) {
  const fs::path pipe = dir_ / "update.zip";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  // Refused as the listing tool fails on what is not an archive, without running it.
  EXPECT_EQ(prepare(pipe), "Update preparation failed");
  fs::create_directory(dir_ / "folder.zip");
  EXPECT_EQ(prepare(dir_ / "folder.zip"), "Update preparation failed");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  expectNothingLeft();
}

}  // namespace
}  // namespace mirelo
