#pragma once

// The launcher event log: one JSON line per update outcome, appended to
// "launcher-events.jsonl" in the folder that holds the work directories, with a single
// rotated generation "launcher-events.1.jsonl". Writing never fails from the caller's
// point of view: every problem drops the line silently.

#include <optional>
#include <string>
#include <string_view>

namespace mirelo {

// Appends one line for `outcome` at `stage` to the log beside the process's work directory
// (helperProcess().directory). `version` is written only when it is 1 to 64 characters
// from [0-9A-Za-z.+_-]; `kind`, when given, is written normalised by eventKind (an empty
// kind gives an empty member). Never throws, never reports.
void noteOutcome(std::string_view outcome, std::optional<std::string_view> version, std::string_view stage,
                 std::optional<std::string_view> kind = std::nullopt) noexcept;

// The same, with the log directory named explicitly instead of derived from process state.
void noteOutcomeIn(const std::string& logDirectory, std::string_view outcome, std::optional<std::string_view> version,
                   std::string_view stage, std::optional<std::string_view> kind = std::nullopt) noexcept;

// The folder that contains `workDirectory`: its last path component removed, as a path.
// A trailing slash names the same folder; a single relative component gives "."; the
// parent of "/" is "/". A last component of "." or ".." is resolved by going up one more
// level ("a/.." gives "a/../..") rather than by dropping it, which would name the work
// directory itself or a folder below it. Empty for an empty work directory.
std::string eventLogDirectory(std::string_view workDirectory);

// The kind rule: lower-cased (Unicode default mapping), every user-perceived character that
// is not a single ASCII letter or digit replaced by one "-", then cut to 64 characters.
std::string eventKind(std::string_view kind);

// Whether `version` may be written: 1 to 64 characters from [0-9A-Za-z.+_-].
bool isLoggableVersion(std::string_view version);

inline constexpr char kEventLogName[] = "launcher-events.jsonl";
inline constexpr char kRotatedEventLogName[] = "launcher-events.1.jsonl";
// The current log is rotated once it holds this many bytes before a new line...
inline constexpr long long kEventLogRotationSize = 64 * 1024;
// ...and lines are dropped from this size on while the rotation keeps failing.
inline constexpr long long kEventLogDropSize = 256 * 1024;

}  // namespace mirelo
