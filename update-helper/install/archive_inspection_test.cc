// Inspection of real archives with the real Info-ZIP tools. Every archive is made here, by
// the real `zip` tool or by testdata/craft_zip.py, which writes any name, mode, host system
// and declared size.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <variant>

#include "testing/test_support.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/staging/child_processes.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;

const std::string kFailed = "Update preparation failed";

// Writes an archive from a craft_zip.py description.
void craft(const fs::path& archive, const std::vector<json>& entries) {
  testing::ProcessResult result = testing::runProcess(
      {"/usr/bin/python3", (testing::sourceDir() / "update-helper/install/testdata/craft_zip.py").string(),
       archive.string()},
      json(entries).dump());
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

// Everything under a folder, with each file's size and modification time.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string state = std::to_string(static_cast<int>(entry.symlink_status().type()));
    if (entry.is_regular_file()) {
      state += " " + std::to_string(entry.file_size()) + " " +
               std::to_string(fs::last_write_time(entry.path()).time_since_epoch().count());
    }
    files[entry.path().string()] = state;
  }
  return files;
}

// The result of an inspection, or the message of its rejection.
using Outcome = std::variant<ArchiveContents, std::string>;

Outcome inspect(const fs::path& archive) {
  try {
    return AtomicInstall::inspectArchive(archive);
  } catch (const InstallFailure& failure) {
    return failure.isCancelled() ? "cancelled" : failure.message();
  }
}

std::string describe(const Outcome& outcome) {
  if (const auto* message = std::get_if<std::string>(&outcome)) return "rejected: " + *message;
  const auto& contents = std::get<ArchiveContents>(outcome);
  return "bundle " + contents.bundle + ", " + std::to_string(contents.bytes) + " bytes";
}

Outcome accepted(const std::string& bundle, uint64_t bytes) { return ArchiveContents{bundle, bytes, std::nullopt}; }
Outcome rejected(const std::string& message) { return message; }

json file(const std::string& name, const std::string& data = "") { return {{"name", name}, {"data", data}}; }
json dir(const std::string& name) { return {{"name", name}, {"kind", "dir"}}; }
json link(const std::string& name, const std::string& target) {
  return {{"name", name}, {"kind", "link"}, {"data", target}};
}

class ArchiveInspectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ChildProcesses::shared().resetForTesting(); }
  void TearDown() override { ChildProcesses::shared().resetForTesting(); }

  // Crafts the archive, inspects it, and checks that the inspection wrote nothing.
  Outcome inspectCrafted(const std::vector<json>& entries) {
    const fs::path archive = dir_ / "update.zip";
    fs::remove(archive);
    craft(archive, entries);
    const auto before = snapshot(dir_.path());
    Outcome outcome = inspect(archive);
    EXPECT_EQ(snapshot(dir_.path()), before) << "inspection changed the folder";
    return outcome;
  }

  TempDir dir_;
};

struct Case {
  const char* what;
  std::vector<json> entries;
  Outcome expected;
};

TEST_F(ArchiveInspectionTest, VetsHostileArchives) {
  const std::string dots4094(4094, '.');
  std::string target4095;
  while (target4095.size() + 2 <= 4094) target4095 += "./";
  target4095 += std::string(4095 - target4095.size(), 'x');
  const std::string target4096 = target4095 + "y";
  ASSERT_EQ(target4095.size(), 4095u);

  const Case cases[] = {
      {"one folder and one file",
       {dir("Example.app/"), file("Example.app/Contents/Info.plist", "hello")},
       accepted("Example.app", 5)},
      {"sizes of every entry, links included",
       {dir("Example.app/"), file("Example.app/a", "1234"), file("Example.app/b", "123"),
        link("Example.app/Current", "a")},
       accepted("Example.app", 8)},
      {"a name with spaces and control characters",
       {file("Example.app/sp  ace x ", "12"), file("Example.app/ctl\x01\x1f\x7f", "1"),
        file("Example.app/cr\rlf\nend", "1")},
       accepted("Example.app", 4)},
      {"folder and file of one name",
       {dir("Example.app/Contents/Resources/"), file("Example.app/Contents/resources")},
       rejected("Unsafe archive path")},
      {"duplicate names", {file("Example.app/a"), file("Example.app/a")}, rejected("Unsafe archive path")},
      {"NFC and NFD spellings", {file("Example.app/caf\u00e9"), file("Example.app/cafe\u0301")},
       rejected("Unsafe archive path")},
      {"names differing in case", {file("Example.app/Info"), file("Example.app/INFO")},
       rejected("Unsafe archive path")},
      {"second top-level name", {file("Example.app/x"), file("README")},
       rejected("Archive must contain one application")},
      {"top-level folder not a bundle", {file("Example/x")}, rejected("Archive must contain one application")},
      {"top-level names differing in case", {file("Example.app/a"), file("example.app/b")},
       rejected("Archive must contain one application")},
      // The file system does not fold names: two spellings would be two folders on disk.
      {"top-level name in NFC and NFD", {file("Caf\u00e9.app/a"), file("Cafe\u0301.app/b")},
       rejected("Archive must contain one application")},
      {"top-level name with KELVIN SIGN beside K", {file("Kiosk.app/a"), file("\u212Aiosk.app/b")},
       rejected("Archive must contain one application")},
      {"top-level name only with KELVIN SIGN", {file("\u212Aiosk.app/a")}, accepted("\u212Aiosk.app", 0)},
      {"absolute name", {file("Example.app/a"), file("/Example.app/x")}, rejected("Unsafe archive path")},
      {"parent piece", {file("Example.app/../x")}, rejected("Unsafe archive path")},
      {"backslash", {file("Example.app/a\\..\\..\\x")}, rejected("Unsafe archive path")},
      {"framework version link",
       {dir("Example.app/Contents/Frameworks/F.framework/Versions/A/"),
        file("Example.app/Contents/Frameworks/F.framework/Versions/A/F", "binary"),
        link("Example.app/Contents/Frameworks/F.framework/Versions/Current", "A"),
        link("Example.app/Contents/Frameworks/F.framework/F", "Versions/Current/F")},
       accepted("Example.app", 25)},
      {"link climbing out", {link("Example.app/Contents/x", "../../y")}, rejected("Archive link escapes bundle")},
      {"absolute link", {link("Example.app/l", "/tmp")}, rejected("Unsafe archive link")},
      {"link target with NUL", {link("Example.app/l", std::string("a\0b", 3))}, rejected("Unsafe archive link")},
      {"link target with line feed", {link("Example.app/l", "a\nb")}, rejected("Unsafe archive link")},
      {"self link", {link("Example.app/l", "l")}, rejected("Unsafe archive link")},
      {"loop", {link("Example.app/a", "b"), link("Example.app/b", "a")}, rejected("Unsafe archive link")},
      {"escape through a chain", {link("Example.app/a", "b"), link("Example.app/b", "../x")},
       rejected("Archive link escapes bundle")},
      {"escape through a folder link",
       {link("Example.app/Contents/l", "../../etc"), file("Example.app/Contents/l/passwd")},
       rejected("Archive link escapes bundle")},
      {"link to a sibling top-level folder", {link("Example.app/l", "../Other.app")},
       rejected("Archive link escapes bundle")},
      {"link spelt with a dot piece", {dir("Example.app/"), link("Example.app/./l", "/tmp/x")},
       rejected("Unsafe archive link")},
      // Link names are entry names, so equal link names already collide as entries.
      {"two links equal but for case", {link("Example.app/l", "a"), link("Example.app/L", "b")},
       rejected("Unsafe archive path")},
      {"link name with [", {link("Example.app/a[1]", "b")}, rejected("Ambiguous archive link name")},
      {"link name with *", {link("Example.app/a*", "b")}, rejected("Ambiguous archive link name")},
      {"link name with ?", {link("Example.app/a?", "b")}, rejected("Ambiguous archive link name")},
      {"regular file with [ is no concern", {file("Example.app/a[1]", "x")}, accepted("Example.app", 1)},
      {"link of size 0", {link("Example.app/l", "")}, rejected("Cannot inspect archive link")},
      {"link of size 4,095", {link("Example.app/l", target4095)}, accepted("Example.app", 4095)},
      {"link of size 4,096", {link("Example.app/l", target4096)}, rejected("Cannot inspect archive link")},
      {"link declaring a huge size",
       {{{"name", "Example.app/l"}, {"kind", "link"}, {"data", "a"}, {"size", 1ull << 40}}},
       rejected("Cannot inspect archive link")},
      {"link whose name shows in caret notation", {link("Example.app/l\x01", "a")}, rejected(kFailed)},
      {"byte total wrapping at 2^64",
       {{{"name", "Example.app/a"}, {"size", 18446744073709551615ull}},
        {{"name", "Example.app/b"}, {"size", 9223372036854775808ull}},
        file("Example.app/c", "12345")},
       rejected("Invalid update archive")},
      {"byte total just below 2^64",
       {{{"name", "Example.app/a"}, {"size", 18446744073709551610ull}}, file("Example.app/c", "12345")},
       accepted("Example.app", 18446744073709551615ull)},
      // zipinfo shows "?" for a Unix entry without a file type, yet unzip may create a link
      // for it; entries of a FAT host count with their sizes.
      {"entry without a Unix file type",
       {{{"name", "Example.app/a"}, {"data", "123"}, {"mode", 0}}, file("Example.app/c", "1")},
       rejected("Unsafe archive entry")},
      // The path rules come first: an archive that breaks one is refused for that.
      {"entry without a Unix file type beside a link that climbs out",
       {{{"name", "Example.app/a"}, {"data", "123"}, {"mode", 0}}, link("Example.app/Contents/x", "../../y")},
       rejected("Archive link escapes bundle")},
      {"entry of a FAT host", {{{"name", "Example.app/b"}, {"data", "12"}, {"system", 0}, {"mode", 0}}, file("Example.app/c", "1")},
       accepted("Example.app", 3)},
      {"name that is not UTF-8", {{{"name_hex", "4578616d706c652e6170702f636166e9"}}}, rejected(kFailed)},
      // zipinfo exits with status 1 for an archive without entries.
      {"no entries", {}, rejected(kFailed)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(describe(inspectCrafted(c.entries)), describe(c.expected));
  }
}

TEST_F(ArchiveInspectionTest, BoundsTheNumberOfEntries) {
  const Case cases[] = {
      {"99,999 entries", {dir("Example.app/"), {{"kind", "bulk"}, {"prefix", "Example.app/f"}, {"count", 99'998}}},
       accepted("Example.app", 0)},
      {"100,000 entries", {dir("Example.app/"), {{"kind", "bulk"}, {"prefix", "Example.app/f"}, {"count", 99'999}}},
       rejected("Invalid update archive")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(describe(inspectCrafted(c.entries)), describe(c.expected));
  }
}

TEST_F(ArchiveInspectionTest, ReadsArchivesMadeByZip) {
  // The real zip tool, storing links as links.
  const fs::path tree = dir_ / "tree";
  fs::create_directories(tree / "Example.app/Contents/Frameworks/F.framework/Versions/A");
  testing::writeFile(tree / "Example.app/Contents/Info.plist", "<plist/>");
  testing::writeFile(tree / "Example.app/Contents/Frameworks/F.framework/Versions/A/F", "12345");
  fs::create_symlink("A", tree / "Example.app/Contents/Frameworks/F.framework/Versions/Current");
  const fs::path archive = dir_ / "with spaces -l.zip";
  testing::ProcessResult zipped =
      testing::runShell("cd '" + tree.string() + "' && /usr/bin/zip -qry '" + archive.string() + "' Example.app");
  ASSERT_EQ(zipped.exitCode, 0) << zipped.err;
  EXPECT_EQ(describe(inspect(archive)), describe(accepted("Example.app", 14)));

  fs::create_symlink("../../../../..", tree / "Example.app/Contents/Frameworks/F.framework/Versions/Up");
  const fs::path hostile = dir_ / "hostile.zip";
  zipped = testing::runShell("cd '" + tree.string() + "' && /usr/bin/zip -qry '" + hostile.string() + "' Example.app");
  ASSERT_EQ(zipped.exitCode, 0) << zipped.err;
  EXPECT_EQ(describe(inspect(hostile)), describe(rejected("Archive link escapes bundle")));
}

TEST_F(ArchiveInspectionTest, RejectsFilesThatAreNotArchives) {
  testing::writeFile(dir_ / "text.zip", "this is not an archive\n");
  testing::writeFile(dir_ / "empty.zip", "");
  for (const char* name : {"text.zip", "empty.zip", "missing.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(describe(inspect(dir_ / name)), describe(rejected(kFailed)));
  }
}

TEST_F(ArchiveInspectionTest, AnArchivePathIsNeverReadAsAPattern) {
  // zipinfo and unzip read their archive argument as a pattern: given "[u]pdate.zip" they
  // would list "update.zip". The inspection lists the very file that it was given.
  craft(dir_ / "update.zip", {file("Other.app/a", "123")});
  craft(dir_ / "[u]pdate.zip", {file("Example.app/a", "1")});
  EXPECT_EQ(describe(inspect(dir_ / "[u]pdate.zip")), describe(accepted("Example.app", 1)));
  for (const char* name : {"*.zip", "?pdate.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(describe(inspect(dir_ / name)), describe(rejected(kFailed)));
  }
}

TEST_F(ArchiveInspectionTest, StartsNothingOnceCancelled) {
  craft(dir_ / "update.zip", {file("Example.app/a")});
  ChildProcesses::shared().cancel();
  EXPECT_EQ(describe(inspect(dir_ / "update.zip")), describe(rejected("cancelled")));
}

}  // namespace
}  // namespace mirelo
