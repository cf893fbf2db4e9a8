#include "platform/folder_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace mirelo {
namespace {

namespace stdfs = std::filesystem;

bool readable(int fd) {
  struct pollfd entry = {fd, POLLIN, 0};
  return ::poll(&entry, 1, 200) == 1;
}

TEST(FolderWatch, ReportsEntryChangesButNotRewritesInPlace) {
  testing::TempDir dir;
  testing::writeFile(dir / "existing", "old");
  FolderWatch watch = FolderWatch::open(dir.path().string());
  EXPECT_FALSE(watch.drain()) << "nothing happened yet";

  const struct {
    const char* name;
    std::function<void()> change;
    bool reported;
  } cases[] = {
      {"rewrite in place", [&] { testing::writeFile(dir / "existing", "new"); }, false},
      {"rename into place",
       [&] {
         testing::writeFile(dir.path().parent_path() / (dir.path().filename().string() + ".tmp"), "x");
         stdfs::rename(dir.path().parent_path() / (dir.path().filename().string() + ".tmp"), dir / "phase");
       },
       true},
      {"rename within", [&] { stdfs::rename(dir / "phase", dir / "phase2"); }, true},
      {"removal", [&] { stdfs::remove(dir / "phase2"); }, true},
      {"folder created", [&] { stdfs::create_directory(dir / "sub"); }, true},
      {"write below a subfolder", [&] { testing::writeFile(dir / "sub/file", "x"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    if (c.reported) {
      EXPECT_TRUE(readable(watch.fd()));
    }
    EXPECT_EQ(watch.drain(), c.reported);
    EXPECT_FALSE(watch.drain()) << "one drain takes every queued event";
  }
}

TEST(FolderWatch, ANewFileIsReportedAgainWhenItsContentIsWritten) {
  testing::TempDir dir;
  FolderWatch watch = FolderWatch::open(dir.path().string());
  const int fd = ::open((dir / "phase").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(watch.drain()) << "the creation";
  ASSERT_EQ(::write(fd, "installing", 10), 10);
  ::close(fd);
  EXPECT_TRUE(watch.drain()) << "the close after writing";
  // Later rewrites of the same file are changes in place again.
  testing::writeFile(dir / "phase", "complete");
  EXPECT_FALSE(watch.drain());
}

TEST(FolderWatch, TheFolderItselfRemovedOrMissing) {
  testing::TempDir dir;
  stdfs::create_directory(dir / "work");
  FolderWatch watch = FolderWatch::open((dir / "work").string());
  stdfs::remove(dir / "work");
  EXPECT_TRUE(watch.drain());

  for (const char* path : {"missing", "file"}) {
    SCOPED_TRACE(path);
    testing::writeFile(dir / "file", "");
    try {
      FolderWatch::open((dir / path).string());
      ADD_FAILURE() << "opened";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), std::string(path) == "missing" ? ENOENT : ENOTDIR);
    }
  }
}

}  // namespace
}  // namespace mirelo
