#include "meeting-helper/report_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace mirelo {

void emit(const nlohmann::json& object, const StreamWriter& write) {
  std::string text;
  try {
    text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    return;
  }
  write(text);
  write("\n");
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

StreamWriter standardOutputWriter() {
  return [](std::string_view bytes) { writeAll(STDOUT_FILENO, bytes); };
}

void drainUntilEnd(int fd) {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard input inherited in non-blocking mode has no data yet: that is not its end.
      struct pollfd readable = {fd, POLLIN, 0};
      ::poll(&readable, 1, -1);
      continue;
    }
    return;
  }
}

}  // namespace mirelo
