// mirelo-sample-app: writes sample application bundles and their update archives, for the
// demo, the end-to-end tests and the benchmarks.
//
//   mirelo-sample-app bundle --identifier ID --version V [--name NAME] [--files N]
//                            [--bytes TOTAL] [--key KEY.pem] OUTDIR
//       Writes OUTDIR/NAME.app (NAME defaults to "Mirelo"): an Info.plist, a main executable,
//       a nested framework with its own Info.plist, resources spread over nested folders,
//       and symbolic links, like a real desktop application. N regular files in all, holding
//       about TOTAL bytes of content that depends on the version. With --key the bundle is
//       signed with mirelo-codesign (found beside this program), nested framework included.
//   mirelo-sample-app archive BUNDLE ARCHIVE.zip
//       Zips BUNDLE with `zip -qry` from its parent folder, so the archive's one top-level
//       folder is the bundle, links stored as links.
//
// Exit status 0 on success; a message on standard error and 1 otherwise.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string identifier;
  std::string version;
  std::string name = "Mirelo";
  uint64_t files = 40;
  uint64_t bytes = 1 << 20;
  std::string key;
  fs::path out;
};

[[noreturn]] void usage() {
  throw std::runtime_error(
      "usage: mirelo-sample-app bundle --identifier ID --version V [--name NAME] [--files N] [--bytes TOTAL] "
      "[--key KEY.pem] OUTDIR\n       mirelo-sample-app archive BUNDLE ARCHIVE.zip");
}

std::string plist(const std::map<std::string, std::string>& values) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : values) {
    text += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
  }
  return text + "</dict>\n</plist>\n";
}

void writeText(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << text;
  if (!stream) throw std::runtime_error("cannot write " + path.string());
  stream.close();
  fs::permissions(path, mode);
}

// Content that is cheap to make, not compressible to nothing, and different per version.
void writeContent(const fs::path& path, uint64_t size, uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(64 * 1024);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  while (size > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size, block.size()));
    for (size_t i = 0; i < n; i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(block.data() + i, &state, std::min<size_t>(8, n - i));
    }
    stream.write(block.data(), static_cast<std::streamsize>(n));
    size -= n;
  }
  if (!stream) throw std::runtime_error("cannot write " + path.string());
}

uint64_t hashText(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

int runTool(const std::vector<std::string>& argv, const fs::path& workingDirectory = {}) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

fs::path selfDirectory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

void makeBundle(const Options& options) {
  const fs::path bundle = options.out / (options.name + ".app");
  if (fs::exists(fs::symlink_status(bundle))) throw std::runtime_error(bundle.string() + " already exists");
  const fs::path contents = bundle / "Contents";
  const uint64_t seed = hashText(options.identifier + "/" + options.version);

  writeText(contents / "Info.plist", plist({{"CFBundleIdentifier", options.identifier},
                                            {"CFBundleShortVersionString", options.version},
                                            {"CFBundleVersion", options.version},
                                            {"CFBundleName", options.name},
                                            {"CFBundleExecutable", options.name},
                                            {"CFBundlePackageType", "APPL"}}));
  writeText(contents / "MacOS" / options.name,
            "#!/bin/sh\n# " + options.name + " " + options.version + "\n"
            "[ -n \"$MIRELO_SAMPLE_STARTED\" ] && echo \"" + options.version + "\" >> \"$MIRELO_SAMPLE_STARTED\"\n"
            "# Started by an update: confirm it to the session, renaming the phase into place.\n"
            "if [ -n \"$MIRELO_SAMPLE_CONFIRM\" ]; then\n"
            "  printf complete > \"$MIRELO_SAMPLE_CONFIRM/.phase.$$\" && mv -f \"$MIRELO_SAMPLE_CONFIRM/.phase.$$\" \"$MIRELO_SAMPLE_CONFIRM/phase\"\n"
            "fi\nexit 0\n",
            fs::perms(0755));

  const fs::path framework = contents / "Frameworks" / "MireloKit.framework";
  writeText(framework / "Contents" / "Info.plist", plist({{"CFBundleIdentifier", options.identifier + ".kit"},
                                                          {"CFBundleShortVersionString", options.version},
                                                          {"CFBundleExecutable", "MireloKit"},
                                                          {"CFBundlePackageType", "FMWK"}}));
  writeText(framework / "Contents" / "MacOS" / "MireloKit", "#!/bin/sh\nexit 0\n", fs::perms(0755));
  fs::create_symlink("Contents/MacOS/MireloKit", framework / "MireloKit");
  fs::create_symlink("MireloKit.framework/Contents/MacOS/MireloKit", contents / "Frameworks" / "libMireloKit");

  // Five regular files are fixed (two Info.plists, two executables, one strings file); the
  // rest are resources in nested folders.
  const uint64_t fixedFiles = 5;
  const uint64_t resources = options.files > fixedFiles ? options.files - fixedFiles : 0;
  const uint64_t perFile = resources == 0 ? 0 : options.bytes / resources;
  uint64_t remainder = resources == 0 ? 0 : options.bytes % resources;
  for (uint64_t i = 0; i < resources; ++i) {
    const bool inFramework = i % 10 == 9;
    const fs::path base = inFramework ? framework / "Contents" / "Resources" : contents / "Resources";
    char relative[96];
    std::snprintf(relative, sizeof relative, "group-%02llu/set-%02llu/resource-%05llu.dat",
                  static_cast<unsigned long long>(i % 16), static_cast<unsigned long long>((i / 16) % 8),
                  static_cast<unsigned long long>(i));
    uint64_t size = perFile + (remainder > 0 ? 1 : 0);
    if (remainder > 0) --remainder;
    writeContent(base / relative, size, seed + i);
  }
  fs::create_directories(contents / "Resources" / "en.lproj");
  writeText(contents / "Resources" / "en.lproj" / "Localizable.strings", "\"title\" = \"" + options.name + "\";\n");
  fs::create_symlink("en.lproj", contents / "Resources" / "Base.lproj");

  if (!options.key.empty()) {
    const fs::path codesign = selfDirectory() / "mirelo-codesign";
    if (runTool({codesign.string(), "sign", "--key", options.key, bundle.string()}) != 0) {
      throw std::runtime_error("signing " + bundle.string() + " failed");
    }
  }
  std::cout << bundle.string() << "\n";
}

void makeArchive(const fs::path& bundle, const fs::path& archive) {
  const fs::path absoluteArchive = fs::absolute(archive);
  const fs::path absoluteBundle = fs::absolute(bundle);
  fs::remove(absoluteArchive);
  if (runTool({"/usr/bin/zip", "-qry", absoluteArchive.string(), absoluteBundle.filename().string()},
              absoluteBundle.parent_path()) != 0) {
    throw std::runtime_error("zip failed for " + bundle.string());
  }
  std::cout << absoluteArchive.string() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) usage();
    if (args[0] == "archive") {
      if (args.size() != 3) usage();
      makeArchive(args[1], args[2]);
      return 0;
    }
    if (args[0] != "bundle") usage();
    Options options;
    for (size_t i = 1; i < args.size(); ++i) {
      auto value = [&]() -> const std::string& {
        if (i + 1 >= args.size()) usage();
        return args[++i];
      };
      if (args[i] == "--identifier") {
        options.identifier = value();
      } else if (args[i] == "--version") {
        options.version = value();
      } else if (args[i] == "--name") {
        options.name = value();
      } else if (args[i] == "--files") {
        options.files = std::stoull(value());
      } else if (args[i] == "--bytes") {
        options.bytes = std::stoull(value());
      } else if (args[i] == "--key") {
        options.key = value();
      } else if (options.out.empty() && args[i].rfind("--", 0) != 0) {
        options.out = args[i];
      } else {
        usage();
      }
    }
    if (options.identifier.empty() || options.version.empty() || options.out.empty()) usage();
    makeBundle(options);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "mirelo-sample-app: " << error.what() << "\n";
    return 1;
  }
}
