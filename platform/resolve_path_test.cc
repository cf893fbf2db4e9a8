#include "platform/resolve_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace fs = std::filesystem;

TEST(ResolveLinksTest, ResolvesTheExistingPartAndFoldsTheRest) {
  testing::TempDir temp;
  // The temporary folder may itself sit behind a link.
  const std::string real = fs::canonical(temp.path()).string();
  const std::string dir = temp.path().string();
  fs::create_directories(temp / "real/Apps");
  fs::create_directory_symlink(temp / "real", temp / "link");
  fs::create_directory_symlink("real/Apps", temp / "relative");

  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {dir + "/link/Apps/Mirelo.app", real + "/real/Apps/Mirelo.app"},
      {dir + "/relative/Mirelo.app/", real + "/real/Apps/Mirelo.app"},
      {dir + "/link/Apps/./x/../Mirelo.app", real + "/real/Apps/Mirelo.app"},
      // ".." after a link goes up from where the link leads.
      {dir + "/relative/../Apps", real + "/real/Apps"},
      {dir + "/missing/a/../b/./c", real + "/missing/b/c"},
      {"/", "/"},
      {"/..", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(resolveLinks(c.input).string(), c.expected);
  }

  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  EXPECT_EQ(resolveLinks("link/Apps").string(), real + "/real/Apps");
  ASSERT_EQ(::chdir(cwd), 0);
  free(cwd);
}

}  // namespace
}  // namespace mirelo
