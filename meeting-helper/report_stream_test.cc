#include "meeting-helper/report_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace mirelo {
namespace {

TEST(Emit, WritesTheObjectThenALineFeedAsTwoWrites) {
  std::vector<std::string> writes;
  emit({{"unsupported", true}}, [&](std::string_view bytes) { writes.emplace_back(bytes); });
  EXPECT_EQ(writes, (std::vector<std::string>{R"({"unsupported":true})", "\n"}));
}

TEST(Emit, SortsKeysAndWritesNoSpaces) {
  std::string written;
  emit({{"zeta", 1}, {"apps", {{{"pid", 2}, {"id", "x y"}}}}}, [&](std::string_view bytes) { written += bytes; });
  EXPECT_EQ(written, "{\"apps\":[{\"id\":\"x y\",\"pid\":2}],\"zeta\":1}\n");
}

TEST(WriteAll, WritesEverythingThroughAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::string big(1 << 20, 'x');
  std::string got;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) got.append(chunk, static_cast<size_t>(n));
  });
  writeAll(fds[1], big);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_EQ(got, big);
}

TEST(DrainUntilEnd, ReadsAnyContentAndReturnsAtEndOfFile) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::thread drainer([&] { drainUntilEnd(fds[0]); });
  std::string junk = "quit\n\0{}\xff";
  ASSERT_EQ(::write(fds[1], junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
  ::close(fds[1]);
  drainer.join();
  ::close(fds[0]);
}

}  // namespace
}  // namespace mirelo
