#pragma once

// What the benchmarks share: the project's programs by name, running one that must succeed
// while a sample is set up, and the sample of an update: an installed application, its
// signed update as an archive, a preparation directory and a session directory.

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace mirelo::bench {

inline std::string tool(const std::string& name) { return mirelo::testing::programPath(name).string(); }

inline void mustRun(const std::vector<std::string>& argv) {
  auto result = mirelo::testing::runProcess(argv);
  if (result.exitCode != 0) {
    throw std::runtime_error(argv[0] + " failed (" + std::to_string(result.exitCode) + "): " + result.err);
  }
}

class UpdateSample {
 public:
  // The update 2.0.0 has `files` files of `bytes` bytes in all; the installed 1.0.0 is small.
  UpdateSample(const std::string& files, const std::string& bytes) {
    key_ = root() / "developer.pem";
    mustRun({tool("mirelo-codesign"), "keygen", key_});
    for (const std::filesystem::path& folder : {applications(), prepare(), session()}) {
      std::filesystem::create_directories(folder);
    }
    makeInstalled();
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", "com.mirelo.desktop", "--version", "2.0.0", "--files",
             files, "--bytes", bytes, "--key", key_, root() / "build"});
    mustRun({tool("mirelo-sample-app"), "archive", root() / "build/Mirelo.app", archive()});
    std::filesystem::remove_all(root() / "build");
    mirelo::testing::writeFile(prepare() / "request.json",
                               "{\"archive\":\"" + archive().string() + "\",\"executable\":\"" + executable() +
                                   "\",\"version\":\"2.0.0\",\"tag\":\"bench\"}");
  }

  void makeInstalled() {
    std::filesystem::remove_all(applications() / "Mirelo.app");
    mustRun({tool("mirelo-sample-app"), "bundle", "--identifier", "com.mirelo.desktop", "--version", "1.0.0",
             "--files", "20", "--bytes", "100000", "--key", key_, applications()});
  }

  // A fresh prepared candidate; returns its parked folder.
  std::filesystem::path prepareCandidate() {
    mustRun({tool("mirelo-update-helper"), "--prepare", prepare()});
    for (const auto& entry : std::filesystem::directory_iterator(applications())) {
      if (entry.path().filename().string().rfind(".mirelo-update-", 0) == 0) return entry.path() / "prepared";
    }
    throw std::runtime_error("no staging folder");
  }

  void writeInstallRequest(pid_t pid, bool prepared) {
    for (const char* name : {"ready", "phase", "adopted.json", "failure.json"}) std::filesystem::remove(session() / name);
    mirelo::testing::writeFile(session() / "native-install.json",
                               "{\"archive\":\"" + archive().string() + "\",\"executable\":\"" + executable() +
                                   "\",\"version\":\"2.0.0\",\"pid\":" + std::to_string(pid) +
                                   (prepared ? ",\"prepared\":\"" + prepare().string() + "\"" : std::string()) + "}");
  }

  void removeStagingFolders() {
    for (const auto& entry : std::filesystem::directory_iterator(applications())) {
      if (entry.path().filename().string().rfind(".mirelo-update-", 0) == 0) std::filesystem::remove_all(entry.path());
    }
  }

  std::filesystem::path root() const { return dir_.path(); }
  std::filesystem::path applications() const { return root() / "Applications"; }
  std::filesystem::path prepare() const { return root() / "jobs/prepare"; }
  std::filesystem::path session() const { return root() / "jobs/session"; }
  std::filesystem::path archive() const { return root() / "Mirelo-2.0.0.zip"; }
  std::string executable() const { return (applications() / "Mirelo.app/Contents/MacOS/Mirelo").string(); }

 private:
  mirelo::testing::TempDir dir_;
  std::filesystem::path key_;
};

}  // namespace mirelo::bench
