#pragma once

// The helper's standard streams: JSON lines out, and standard input read only to learn
// when the desktop application wants the helper gone.

#include <functional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace mirelo {

// Receives the bytes of the report stream. `emit` calls it twice per line: once with the
// JSON text and once with the line feed.
using StreamWriter = std::function<void(std::string_view bytes)>;

// Serialises `object` compactly with its keys sorted and writes it as one line. Text that
// is not valid UTF-8 is written with U+FFFD in its place, so one bad string cannot
// silence a whole line. Nothing is written if serialisation fails.
void emit(const nlohmann::json& object, const StreamWriter& write);

// Writes all of `bytes` to `fd`, retrying short and interrupted writes. A failed write is
// dropped: whoever reads the stream has gone away and will close standard input.
void writeAll(int fd, std::string_view bytes);

// A writer for standard output.
StreamWriter standardOutputWriter();

// Reads and discards `fd` until end of file (or a read error, which means the same: no
// more input will come), then returns.
void drainUntilEnd(int fd);

}  // namespace mirelo
