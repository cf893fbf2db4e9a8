#include "testing/bundle_fixture.h"

#include <sys/stat.h>

#include <stdexcept>

#include "testing/test_support.h"

namespace mirelo::testing {

std::string infoPlistXml(const std::map<std::string, std::string>& strings) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : strings) {
    xml += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
  }
  xml += "</dict>\n</plist>\n";
  return xml;
}

void writeBundle(const std::filesystem::path& bundle, const BundleInfo& info) {
  std::filesystem::create_directories(bundle / "Contents/MacOS");
  std::filesystem::create_directories(bundle / "Contents/Resources/en.lproj");
  writeFile(bundle / "Contents/Info.plist", infoPlistXml({{"CFBundleIdentifier", info.identifier},
                                                          {"CFBundleShortVersionString", info.version},
                                                          {"CFBundleExecutable", info.executable}}));
  writeFile(bundle / "Contents/MacOS" / info.executable, "#!/bin/sh\nexit 0\n");
  ::chmod((bundle / "Contents/MacOS" / info.executable).c_str(), 0755);
  writeFile(bundle / "Contents/Resources/readme.txt", "version " + info.version + "\n");
  writeFile(bundle / "Contents/Resources/en.lproj/strings.txt", "hello\n");
}

std::filesystem::path makeSigningKey(const std::filesystem::path& file) {
  ProcessResult result = runProcess({programPath("mirelo-codesign").string(), "keygen", file.string()});
  if (result.exitCode != 0) throw std::runtime_error("keygen failed: " + result.err);
  return file;
}

void signWithTool(const std::filesystem::path& key, const std::filesystem::path& bundle) {
  ProcessResult result =
      runProcess({programPath("mirelo-codesign").string(), "sign", "--key", key.string(), bundle.string()});
  if (result.exitCode != 0) throw std::runtime_error("sign failed: " + result.err);
}

}  // namespace mirelo::testing
