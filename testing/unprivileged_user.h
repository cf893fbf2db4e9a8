#pragma once

// A second, unprivileged account for tests that show what another local user, or the helper
// run as an ordinary user, can and cannot do.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirelo::testing {

struct UnprivilegedUser {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The account "mirelo-test", created (without a home folder or a login shell) when it is
// missing and the tests run as root. Nothing, with the reason in `whyNot`, when the machine
// cannot provide one: not root, or no useradd.
std::optional<UnprivilegedUser> unprivilegedUser(std::string* whyNot);

// Runs `body` in a forked child that has dropped to `user` (groups cleared) and returns its
// exit code, or 128 + the signal that ended it.
int runAsUser(const UnprivilegedUser& user, const std::function<int()>& body);

// The argument list that runs a program as `user` through setpriv, to put in front of it.
std::vector<std::string> setprivPrefix(const UnprivilegedUser& user);

// Gives `path` and everything below it to `user`.
void giveTo(const UnprivilegedUser& user, const std::filesystem::path& path);

}  // namespace mirelo::testing
