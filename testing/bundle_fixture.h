#pragma once

// Application bundles for tests, signed with the real mirelo-codesign.

#include <filesystem>
#include <map>
#include <string>

namespace mirelo::testing {

// An XML property list whose top-level dictionary holds these string values.
std::string infoPlistXml(const std::map<std::string, std::string>& strings);

struct BundleInfo {
  std::string identifier = "com.example.mirelo";
  std::string version = "2.0";
  std::string executable = "Mirelo";
};

// Writes a small unsigned bundle: Contents/Info.plist, Contents/MacOS/<executable> (0755),
// Contents/Resources/readme.txt and Contents/Resources/en.lproj/strings.txt.
void writeBundle(const std::filesystem::path& bundle, const BundleInfo& info = {});

// `mirelo-codesign keygen` into `file`; returns `file`.
std::filesystem::path makeSigningKey(const std::filesystem::path& file);
// `mirelo-codesign sign --key KEY BUNDLE`; throws std::runtime_error with its standard error.
void signWithTool(const std::filesystem::path& key, const std::filesystem::path& bundle);

}  // namespace mirelo::testing
