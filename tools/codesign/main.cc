// mirelo-codesign: signs application bundles and checks their signatures.
//
//   mirelo-codesign keygen KEY.pem
//   mirelo-codesign sign --key KEY.pem BUNDLE
//   mirelo-codesign verify [--no-resources] [--strict] [--nested] [--requirement TEXT] BUNDLE
//   mirelo-codesign show BUNDLE
//
// Exit status 0 on success; 1 when a bundle is not valid or a command fails (the reason on
// standard error); 2 for a malformed command line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/codesign.h"
#include "platform/errno_error.h"
#include "platform/sha256.h"
#include "platform/tree.h"
#include "platform/unique_fd.h"

namespace {

using namespace mirelo;

constexpr int kUsageError = 2;

int usage() {
  std::fputs(
      "usage: mirelo-codesign keygen KEY.pem\n"
      "       mirelo-codesign sign --key KEY.pem BUNDLE\n"
      "       mirelo-codesign verify [--no-resources] [--strict] [--nested] [--requirement TEXT] BUNDLE\n"
      "       mirelo-codesign show BUNDLE\n",
      stderr);
  return kUsageError;
}

int fail(const std::string& reason) {
  std::fprintf(stderr, "mirelo-codesign: %s\n", reason.c_str());
  return 1;
}

void writeAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    written += static_cast<size_t>(n);
  }
}

// The key file is created, never overwritten: replacing a signing key by accident would
// orphan every release signed with it.
int keygen(const std::string& path) {
  std::string pem = codesign::generatePrivateKey();
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return fail(path + ": " + std::strerror(errno));
  try {
    if (::fchmod(fd.get(), 0600) != 0) throwErrno("fchmod");
    writeAll(fd.get(), pem);
    if (::fsync(fd.get()) != 0) throwErrno("fsync");
  } catch (const std::system_error& error) {
    ::unlink(path.c_str());
    return fail(path + ": " + error.code().message());
  }
  return 0;
}

int sign(const std::string& keyPath, const std::string& bundle) {
  std::string pem;
  try {
    UniqueFd fd(::open(keyPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throwErrno("open");
    pem = readAll(fd.get(), 1 << 16);
  } catch (const std::system_error& error) {
    return fail(keyPath + ": " + error.code().message());
  }
  codesign::signBundle(bundle, pem);
  return 0;
}

int verify(uint32_t flags, const std::optional<std::string>& requirementText, const std::string& bundle) {
  std::optional<codesign::Requirement> requirement;
  if (requirementText) requirement.emplace(codesign::Requirement::parse(*requirementText));
  codesign::StaticCode code = codesign::StaticCode::createWithPath(bundle);
  code.checkValidity(flags, requirement ? &*requirement : nullptr);
  return 0;
}

int show(const std::string& bundle) {
  codesign::StaticCode code = codesign::StaticCode::createWithPath(bundle);
  codesign::SigningInformation info = code.signingInformation();
  std::string text = "identifier=" + info.identifier + "\n" + "cdhash=" + lowerHex(info.unique.data(), info.unique.size()) +
                     "\n" + "requirement=" + code.designatedRequirement().text() + "\n";
  std::fputs(text.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int dispatch(const std::vector<std::string>& args) {
  if (args.empty()) return usage();
  const std::string& command = args[0];
  if (command == "keygen") {
    if (args.size() != 2) return usage();
    return keygen(args[1]);
  }
  if (command == "sign") {
    if (args.size() != 4 || args[1] != "--key") return usage();
    return sign(args[2], args[3]);
  }
  if (command == "verify") {
    uint32_t flags = 0;
    std::optional<std::string> requirement;
    size_t i = 1;
    for (; i + 1 < args.size(); ++i) {
      if (args[i] == "--no-resources") {
        flags |= codesign::kDoNotValidateResources;
      } else if (args[i] == "--strict") {
        flags |= codesign::kStrictValidate;
      } else if (args[i] == "--nested") {
        flags |= codesign::kCheckNestedCode;
      } else if (args[i] == "--requirement" && i + 2 < args.size()) {
        requirement = args[++i];
      } else {
        return usage();
      }
    }
    if (i + 1 != args.size()) return usage();
    return verify(flags, requirement, args[i]);
  }
  if (command == "show") {
    if (args.size() != 2) return usage();
    return show(args[1]);
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return dispatch(args);
  } catch (const codesign::SignatureError& error) {
    return fail(error.what());
  } catch (const std::system_error& error) {
    return fail(error.what());
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}
