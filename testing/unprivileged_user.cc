#include "testing/unprivileged_user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace mirelo::testing {
namespace {

const char kUserName[] = "mirelo-test";

std::optional<UnprivilegedUser> lookUp() {
  struct passwd* entry = ::getpwnam(kUserName);
  if (entry == nullptr) return std::nullopt;
  return UnprivilegedUser{kUserName, entry->pw_uid, entry->pw_gid};
}

}  // namespace

std::optional<UnprivilegedUser> unprivilegedUser(std::string* whyNot) {
  if (::geteuid() != 0) {
    *whyNot = "needs root to act as a second user";
    return std::nullopt;
  }
  if (std::optional<UnprivilegedUser> user = lookUp()) return user;
  std::string command = std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + kUserName +
                        " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 && !lookUp()) {
    *whyNot = "cannot create the account mirelo-test with useradd";
    return std::nullopt;
  }
  std::optional<UnprivilegedUser> user = lookUp();
  if (!user) *whyNot = "the account mirelo-test does not exist after useradd";
  return user;
}

int runAsUser(const UnprivilegedUser& user, const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0) {
      ::_exit(126);
    }
    int code = 125;
    try {
      code = body();
    } catch (...) {
      code = 124;
    }
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::vector<std::string> setprivPrefix(const UnprivilegedUser& user) {
  return {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid),
          "--clear-groups", "--"};
}

void giveTo(const UnprivilegedUser& user, const std::filesystem::path& path) {
  std::string command = "chown -R " + std::to_string(user.uid) + ":" + std::to_string(user.gid) + " '" +
                        path.string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot run: " + command);
}

}  // namespace mirelo::testing
