#include "platform/codesign.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/codesign_format.h"
#include "platform/sha256.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace mirelo::codesign {
namespace {

namespace fs = std::filesystem;
using mirelo::testing::readFile;
using mirelo::testing::TempDir;
using mirelo::testing::writeFile;

// The flag sets of the matrix, in the order of the expectation strings below.
constexpr uint32_t kColumns[] = {
    0,
    kDoNotValidateResources,
    kStrictValidate,
    kDoNotValidateResources | kStrictValidate,
    kCheckNestedCode,
    kDoNotValidateResources | kCheckNestedCode,
    kCheckAllArchitectures | kCheckNestedCode | kStrictValidate,
};

class CodesignTest : public ::testing::Test {
 public:
  void SetUp() override {
    key_ = mirelo::testing::makeSigningKey(dir_ / "developer.pem");
    otherKey_ = mirelo::testing::makeSigningKey(dir_ / "other.pem");
    bundle_ = dir_ / "Mirelo.app";
    makeBundle();
  }

  // An unsigned bundle with a link inside it and a nested framework.
  void makeBundle() {
    mirelo::testing::writeBundle(bundle_);
    fs::create_directory_symlink("en.lproj", bundle_ / "Contents/Resources/current");
    fs::path kit = bundle_ / "Contents/Frameworks/Kit.framework";
    fs::create_directories(kit / "Contents/Resources");
    writeFile(kit / "Contents/Info.plist", mirelo::testing::infoPlistXml({{"CFBundleIdentifier", "com.example.kit"}}));
    writeFile(kit / "Contents/Resources/data.txt", "kit data\n");
  }

  void sign(const fs::path& key) { mirelo::testing::signWithTool(key, bundle_); }

  // "P" when the check passes, "F" when it throws, one letter per column.
  std::string outcomes() const {
    std::string result;
    for (uint32_t flags : kColumns) {
      try {
        StaticCode::createWithPath(bundle_).checkValidity(flags, nullptr);
        result += 'P';
      } catch (const SignatureError&) {
        result += 'F';
      }
    }
    return result;
  }

  TempDir dir_;
  fs::path key_;
  fs::path otherKey_;
  fs::path bundle_;
};

void chmodTo(const fs::path& path, mode_t mode) { ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; }

void flipLastByte(const fs::path& file) {
  std::string bytes = readFile(file);
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  writeFile(file, bytes);
}

TEST_F(CodesignTest, TamperingAgainstTheValidityFlags) {
  struct Case {
    const char* name;
    bool beforeSigning;  // the change is made before the bundle is signed
    std::function<void(CodesignTest&, const fs::path&)> change;
    // Columns: 0, 4, 16, 4|16, 8, 4|8, 1|8|16.
    const char* expected;
  };
  const Case cases[] = {
      {"untouched", false, [](CodesignTest&, const fs::path&) {}, "PPPPPPP"},
      {"resource changed", false,
       [](CodesignTest&, const fs::path& b) { writeFile(b / "Contents/Resources/readme.txt", "changed\n"); },
       "FPFPFPF"},
      {"resource removed", false,
       [](CodesignTest&, const fs::path& b) { fs::remove(b / "Contents/Resources/en.lproj/strings.txt"); },
       "FPFPFPF"},
      {"file added", false,
       [](CodesignTest&, const fs::path& b) { writeFile(b / "Contents/Resources/extra.txt", "x"); }, "PPFFPPF"},
      {"hidden file added", false, [](CodesignTest&, const fs::path& b) { writeFile(b / "Contents/.hidden", "x"); },
       "PPFFPPF"},
      {"empty folder added", false,
       [](CodesignTest&, const fs::path& b) { fs::create_directory(b / "Contents/Resources/empty"); }, "PPFFPPF"},
      {"sealed folder removed", false,
       [](CodesignTest&, const fs::path& b) { fs::remove_all(b / "Contents/Resources/en.lproj"); }, "FPFPFPF"},
      // Modes: a sealed file's mode is part of the seal; nothing may be writable by group
      // or others or carry set-id bits, and folders must give their owner full access,
      // whatever the seal says.
      {"resource made executable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Resources/readme.txt", 0755); },
       "FPFPFPF"},
      {"resource world-writable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Resources/readme.txt", 0666); },
       "FPFFFPF"},
      {"resource set-user-id", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Resources/readme.txt", 04644); },
       "FPFFFPF"},
      {"folder world-writable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Resources", 0777); },
       "FPFFFPF"},
      {"folder without owner write", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Resources", 0555); },
       "FPFFFPF"},
      {"signature folder world-writable", false,
       [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/_CodeSignature", 0777); }, "FPFFFPF"},
      {"bundle folder world-writable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b, 0777); }, "FFFFFFF"},
      {"main executable not executable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/MacOS/Mirelo", 0644); },
       "FFFFFFF"},
      {"Info.plist world-writable", false, [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Info.plist", 0646); },
       "FFFFFFF"},
      {"nested Info.plist world-writable", false,
       [](CodesignTest&, const fs::path& b) { chmodTo(b / "Contents/Frameworks/Kit.framework/Contents/Info.plist", 0666); },
       "PPPPFFF"},
      {"link retargeted", false,
       [](CodesignTest&, const fs::path& b) {
         fs::remove(b / "Contents/Resources/current");
         fs::create_symlink("readme.txt", b / "Contents/Resources/current");
       },
       "FPFPFPF"},
      {"file replaced by a link", false,
       [](CodesignTest&, const fs::path& b) {
         fs::remove(b / "Contents/Resources/readme.txt");
         fs::create_symlink("en.lproj/strings.txt", b / "Contents/Resources/readme.txt");
       },
       "FPFFFPF"},
      {"folder replaced by a link to a copy", false,
       [](CodesignTest& t, const fs::path& b) {
         fs::copy(b / "Contents/Resources", t.dir_ / "copy", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
         fs::remove_all(b / "Contents/Resources");
         fs::create_directory_symlink(t.dir_ / "copy", b / "Contents/Resources");
       },
       "FPFFFPF"},
      {"Info.plist changed", false,
       [](CodesignTest&, const fs::path& b) {
         writeFile(b / "Contents/Info.plist", readFile(b / "Contents/Info.plist") + " ");
       },
       "FFFFFFF"},
      {"Info.plist replaced by a link to a copy", false,
       [](CodesignTest& t, const fs::path& b) {
         fs::copy_file(b / "Contents/Info.plist", t.dir_ / "Info.plist");
         fs::remove(b / "Contents/Info.plist");
         fs::create_symlink(t.dir_ / "Info.plist", b / "Contents/Info.plist");
       },
       "FFFFFFF"},
      {"executable changed", false,
       [](CodesignTest&, const fs::path& b) { writeFile(b / "Contents/MacOS/Mirelo", "#!/bin/sh\nexit 1\n"); },
       "FFFFFFF"},
      {"signature corrupted", false,
       [](CodesignTest&, const fs::path& b) { flipLastByte(b / "Contents/_CodeSignature/CodeSignature"); }, "FFFFFFF"},
      {"code directory edited", false,
       [](CodesignTest&, const fs::path& b) {
         std::string text = readFile(b / "Contents/_CodeSignature/CodeDirectory");
         text.replace(text.find("com.example.mirelo"), 18, "com.example.mirelO");
         writeFile(b / "Contents/_CodeSignature/CodeDirectory", text);
       },
       "FFFFFFF"},
      {"seal edited", false,
       [](CodesignTest&, const fs::path& b) {
         std::string text = readFile(b / "Contents/_CodeSignature/CodeResources");
         text.erase(text.find("file "), text.find('\n', text.find("file ")) - text.find("file ") + 1);
         writeFile(b / "Contents/_CodeSignature/CodeResources", text);
       },
       "FFFFFFF"},
      {"file added to the signature folder", false,
       [](CodesignTest&, const fs::path& b) { writeFile(b / "Contents/_CodeSignature/extra", "x"); }, "PPFFPPF"},
      {"nested resource changed", false,
       [](CodesignTest&, const fs::path& b) {
         writeFile(b / "Contents/Frameworks/Kit.framework/Contents/Resources/data.txt", "changed\n");
       },
       "PPPPFPF"},
      {"nested Info.plist changed", false,
       [](CodesignTest&, const fs::path& b) {
         fs::path plist = b / "Contents/Frameworks/Kit.framework/Contents/Info.plist";
         writeFile(plist, readFile(plist) + " ");
       },
       "PPPPFFF"},
      {"nested bundle signed again by another key", false,
       [](CodesignTest& t, const fs::path& b) {
         mirelo::testing::signWithTool(t.otherKey_, b / "Contents/Frameworks/Kit.framework");
       },
       "FPFPFPF"},
      {"sealed link leading outside", true,
       [](CodesignTest&, const fs::path& b) { fs::create_symlink("../../../outside", b / "Contents/Resources/out"); },
       "PPFFPPF"},
      {"sealed absolute link", true,
       [](CodesignTest&, const fs::path& b) { fs::create_symlink("/etc/hosts", b / "Contents/Resources/hosts"); },
       "PPFFPPF"},
      // Read as text, "self/../../.." ends at the bundle folder; through the link "self"
      // (the folder it sits in) it ends one level above the bundle.
      {"sealed link leading outside through another link", true,
       [](CodesignTest&, const fs::path& b) {
         fs::create_symlink(".", b / "Contents/Resources/self");
         fs::create_symlink("self/../../..", b / "Contents/Resources/up");
       },
       "PPFFPPF"},
      {"sealed links that stay inside", true,
       [](CodesignTest&, const fs::path& b) {
         fs::create_symlink("self/..", b / "Contents/Resources/parent");
         fs::create_symlink(".", b / "Contents/Resources/self");
         fs::create_symlink("../Resources/missing/../../MacOS", b / "Contents/Resources/dangling");
       },
       "PPPPPPP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::chmod(bundle_.c_str(), 0755);
    fs::remove_all(bundle_);
    fs::remove_all(dir_ / "copy");
    fs::remove(dir_ / "Info.plist");
    makeBundle();
    if (c.beforeSigning) c.change(*this, bundle_);
    sign(key_);
    if (!c.beforeSigning) c.change(*this, bundle_);
    EXPECT_EQ(outcomes(), c.expected);
  }
}

}  // namespace
}  // namespace mirelo::codesign

namespace mirelo::codesign {
namespace {

TEST_F(CodesignTest, SigningInformationAndDesignatedRequirement) {
  sign(key_);
  StaticCode code = StaticCode::createWithPath(bundle_);
  SigningInformation info = code.signingInformation();
  EXPECT_EQ(info.identifier, "com.example.mirelo");

  // The unique identifier is the first 20 bytes of SHA-256 over the code directory's bytes.
  std::string directory = readFile(bundle_ / "Contents/_CodeSignature/CodeDirectory");
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(directory.data()), directory.size(), digest);
  EXPECT_EQ(info.unique, std::vector<unsigned char>(digest, digest + 20));

  // The public key in the requirement is the one in the PEM key file.
  std::string pem = mirelo::testing::runShell("openssl pkey -in '" + key_.string() +
                                              "' -pubout -outform DER | tail -c 32 | od -An -tx1 | tr -d ' \\n'")
                        .out;
  ASSERT_EQ(pem.size(), 64u);
  Requirement requirement = code.designatedRequirement();
  EXPECT_EQ(requirement.text(), "identifier \"com.example.mirelo\" and key \"" + pem + "\"");
  EXPECT_NO_THROW(code.checkValidity(kCheckAllArchitectures | kCheckNestedCode | kStrictValidate, &requirement));

  // Signing again with the same key leaves the same code directory.
  sign(key_);
  EXPECT_EQ(readFile(bundle_ / "Contents/_CodeSignature/CodeDirectory"), directory);
}

TEST_F(CodesignTest, RequirementsOfAnotherDeveloperOrApplication) {
  sign(key_);
  Requirement ours = StaticCode::createWithPath(bundle_).designatedRequirement();
  sign(otherKey_);
  StaticCode code = StaticCode::createWithPath(bundle_);
  EXPECT_NO_THROW(code.checkValidity(0, nullptr));
  EXPECT_THROW(code.checkValidity(0, &ours), SignatureError);
  EXPECT_THROW(code.checkValidity(kDoNotValidateResources, &ours), SignatureError);

  Requirement theirs = code.designatedRequirement();
  Requirement otherApplication("com.example.other", theirs.key());
  EXPECT_NO_THROW(code.checkValidity(0, &theirs));
  EXPECT_THROW(code.checkValidity(0, &otherApplication), SignatureError);
}

TEST_F(CodesignTest, NestedBundlesAreSignedOnTheirOwn) {
  sign(key_);
  StaticCode kit = StaticCode::createWithPath(bundle_ / "Contents/Frameworks/Kit.framework");
  EXPECT_EQ(kit.signingInformation().identifier, "com.example.kit");
  EXPECT_NO_THROW(kit.checkValidity(kStrictValidate, nullptr));
  // The outer seal names the nested bundle once, not the files inside it.
  std::string seal = readFile(bundle_ / "Contents/_CodeSignature/CodeResources");
  EXPECT_NE(seal.find("nested "), std::string::npos);
  EXPECT_EQ(seal.find("data.txt"), std::string::npos);
}

TEST_F(CodesignTest, NoObjectWithoutAReadableSignature) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  };
  const Case cases[] = {
      {"never signed", [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); }},
      {"code directory missing", [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/CodeDirectory"); }},
      {"signature truncated",
       [](const fs::path& b) { writeFile(b / "Contents/_CodeSignature/CodeSignature", "short"); }},
      {"code directory garbled", [](const fs::path& b) { writeFile(b / "Contents/_CodeSignature/CodeDirectory", "x\n"); }},
      {"signature folder is a link",
       [](const fs::path& b) {
         fs::rename(b / "Contents/_CodeSignature", b.parent_path() / "sig");
         fs::create_directory_symlink(b.parent_path() / "sig", b / "Contents/_CodeSignature");
       }},
      {"bundle is a link",
       [](const fs::path& b) {
         fs::rename(b, b.parent_path() / "Real.app");
         fs::create_directory_symlink(b.parent_path() / "Real.app", b);
       }},
      {"bundle missing", [](const fs::path& b) { fs::remove_all(b); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(bundle_);
    fs::remove_all(dir_ / "Real.app");
    fs::remove_all(dir_ / "sig");
    makeBundle();
    sign(key_);
    c.change(bundle_);
    EXPECT_THROW(StaticCode::createWithPath(bundle_), SignatureError);
  }
}

TEST_F(CodesignTest, UnknownFlagsAreRefused) {
  sign(key_);
  StaticCode code = StaticCode::createWithPath(bundle_);
  EXPECT_NO_THROW(code.checkValidity(kCheckAllArchitectures, nullptr));
  EXPECT_THROW(code.checkValidity(2, nullptr), SignatureError);
  EXPECT_THROW(code.checkValidity(32, nullptr), SignatureError);
}

TEST(RequirementTest, ParsesTheRequirementLanguage) {
  const std::string key(64, 'a');
  struct Case {
    std::string text;
    std::string canonical;  // empty: refused
  };
  const Case cases[] = {
      {"identifier \"com.example.app\" and key \"" + key + "\"",
       "identifier \"com.example.app\" and key \"" + key + "\""},
      {"  identifier  \"a b\"\tand\nkey \"" + std::string(64, 'F') + "\" ",
       "identifier \"a b\" and key \"" + std::string(64, 'f') + "\""},
      {"identifier \"com.example.app\" and key \"" + key.substr(2) + "\"", ""},
      {"identifier \"com.example.app\" and key \"" + key + "\" or true", ""},
      {"identifier \"\" and key \"" + key + "\"", ""},
      {"identifier com.example.app and key \"" + key + "\"", ""},
      {"identifier \"com.example.app\" andkey \"" + key + "\"", ""},
      {"identifier \"com.example.app\" and key \"" + std::string(63, 'a') + "g\"", ""},
      {"key \"" + key + "\" and identifier \"com.example.app\"", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.canonical.empty()) {
      EXPECT_THROW(Requirement::parse(c.text), SignatureError);
    } else {
      EXPECT_EQ(Requirement::parse(c.text).text(), c.canonical);
    }
  }
}


TEST_F(CodesignTest, SigningRefusesModesThatCouldNotBeChecked) {
  struct Case {
    const char* item;
    mode_t mode;
  };
  const Case cases[] = {
      {"Contents/Resources/readme.txt", 0664}, {"Contents/Resources/readme.txt", 0646},
      {"Contents/Resources/readme.txt", 02644}, {"Contents/Resources", 0775},
      {"Contents/Resources", 01755},          {"Contents/Resources", 0555},
      {"Contents/MacOS/Mirelo", 0777},        {"", 0757},
  };
  const std::string key = readFile(key_);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.item) + " " + std::to_string(c.mode));
    ::chmod(bundle_.c_str(), 0755);
    fs::remove_all(bundle_);
    makeBundle();
    chmodTo(bundle_ / c.item, c.mode);
    EXPECT_THROW(signBundle(bundle_, key), SignatureError);
    EXPECT_FALSE(fs::exists(bundle_ / "Contents/_CodeSignature/CodeDirectory"));
  }
  // The same bundle with ordinary modes signs, also where the umask is permissive.
  ::chmod(bundle_.c_str(), 0755);
  fs::remove_all(bundle_);
  makeBundle();
  mode_t previous = ::umask(0);
  EXPECT_NO_THROW(signBundle(bundle_, key));
  ::umask(previous);
  EXPECT_NO_THROW(StaticCode::createWithPath(bundle_).checkValidity(kValidityFlags & ~kDoNotValidateResources, nullptr));
}

TEST(SealFormat, NestedBundlesOnlyInTheirFourPlaces) {
  const std::string cdhash(40, 'a');
  struct Case {
    const char* path;
    bool accepted;
  };
  const Case cases[] = {
      {"Contents/Frameworks/Kit.framework", true}, {"Contents/PlugIns/P.plugin", true},
      {"Contents/Helpers/H.app", true},            {"Contents/XPCServices/X.xpc", true},
      {"Contents/Resources/Kit.framework", false}, {"Contents/Frameworks", false},
      {"Contents/Frameworks/Kit.framework/Versions/A", false}, {"Frameworks/Kit.framework", false},
      {"Contents/MacOS/Helper.app", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string seal = "mirelo-resource-seal 2\nnested " + cdhash + " " + c.path + "\n";
    if (c.accepted) {
      EXPECT_EQ(format::parseSeal(seal).size(), 1u);
    } else {
      EXPECT_THROW(format::parseSeal(seal), SignatureError);
    }
  }
  // Sealed modes that the permission rule refuses make the seal malformed.
  const std::string digest(64, 'b');
  EXPECT_EQ(format::parseSeal("mirelo-resource-seal 2\nfile " + digest + " 0755 a\n").at("a").mode, 0755u);
  for (const char* mode : {"0775", "4755", "755", "0o75", "0758"}) {
    SCOPED_TRACE(mode);
    EXPECT_THROW(format::parseSeal("mirelo-resource-seal 2\nfile " + digest + " " + mode + " a\n"), SignatureError);
  }
}

}  // namespace
}  // namespace mirelo::codesign

namespace mirelo::codesign {
namespace {

// The signature texts are canonical: a name has one encoding, so a seal or code directory
// that parses always encodes back to the very bytes that were signed.
TEST(SignatureFormatTest, EachNameHasOneEncoding) {
  const std::string digest(64, 'a');
  const struct {
    const char* name;
    std::string path;  // as written in the seal
    bool parses;
  } cases[] = {
      {"plain", "Contents/Resources/a.txt", true},
      {"escaped space and percent", "Contents/Resources/b%20100%25.txt", true},
      {"escaped control byte", "Contents/Resources/nested%1F", true},
      {"lower-case escape", "Contents/Resources/nested%1f", false},
      {"lower-case escape of a percent sign", "Contents/a%2f", false},
      {"escape of a byte that needs none", "Contents/%41.txt", false},
      {"raw control byte", "Contents/a\x01", false},
      {"escape cut short", "Contents/a%2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string seal = "mirelo-resource-seal 2\nfile " + digest + " 0644 " + c.path + "\n";
    if (!c.parses) {
      EXPECT_THROW(format::parseSeal(seal), SignatureError);
      continue;
    }
    EXPECT_EQ(format::encodeSeal(format::parseSeal(seal)), seal);
  }
}

}  // namespace
}  // namespace mirelo::codesign
