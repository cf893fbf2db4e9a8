#include "meeting-helper/report_stream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(DrainUntilEnd, ReadsAnyContentAndReturnsOnlyAtEndOfFile) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::atomic<bool> returned{false};
  std::thread drainer([&] {
    drainUntilEnd(fds[0]);
    returned = true;
  });
  // Bytes a reader might stop at: a NUL, a line feed, a byte that is not UTF-8, and more
  // than one read's worth.
  using namespace std::string_literals;
  std::string junk = "quit\n\0{}\xff"s + std::string(3 * 65536, '\0') + "\n";
  // Without blocking, so that a drainer that stops reading fails the test instead of
  // hanging it: the pipe holds less than this.
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  size_t written = 0;
  while (written < junk.size() && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::write(fds[1], junk.data() + written, junk.size() - written);
    if (n > 0) written += static_cast<size_t>(n);
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(written, junk.size()) << "the drainer stopped reading";
  // Everything written is consumed while the input stays open, and the drainer keeps
  // waiting for more.
  int pending = -1;
  while (std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(::ioctl(fds[1], FIONREAD, &pending), 0);
    if (pending == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(pending, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned);
  ::close(fds[1]);
  drainer.join();
  EXPECT_TRUE(returned);
  ::close(fds[0]);
}

TEST(DrainUntilEnd, AnInputWithoutDataInNonBlockingModeHasNotEnded) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  std::atomic<bool> returned{false};
  std::thread drainer([&] {
    drainUntilEnd(fds[0]);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(returned) << "an empty non-blocking read was taken for the end of the input";
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  ::close(fds[1]);
  drainer.join();
  EXPECT_TRUE(returned);
  ::close(fds[0]);
}

}  // namespace
}  // namespace mirelo
