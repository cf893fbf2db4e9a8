#pragma once

// The candidate that a background preparation parked in its staging folder, as its record
// describes it, and the two renames that park it and take it back. The store writes and
// reads the record (store/records.h); the install transaction adopts it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace mirelo {

// "prepared.json" (later "adopted.json"): a verified candidate parked in its staging folder,
// and what proves later that nothing about it changed.
struct PreparedCandidate {
  // The name under which the candidate bundle waits inside its staging folder.
  static constexpr std::string_view kParkedName = "prepared";

  int64_t schema = 1;
  std::string version;
  std::string tag;
  std::string target;
  std::string staging;
  int64_t stagingDevice = 0;
  uint64_t stagingInode = 0;
  std::string bundle;
  uint64_t candidateInode = 0;
  std::string inventory;
  std::string cdhash;

  // Moves "<staging>/prepared" back to "<staging>/<bundle>" (never replacing anything there)
  // after checking that it is a folder with inode `candidateInode`, and returns the new path.
  // Throws "Prepared update changed" when any of that fails; nothing is moved then.
  std::filesystem::path unpark(const std::filesystem::path& staging) const;

  friend bool operator==(const PreparedCandidate&, const PreparedCandidate&) = default;
};

// Parks a verified candidate: notes the inode of `candidate` (lstat) and renames it to
// "<staging>/prepared" without replacing anything there. Returns that inode, the record's
// "candidateInode". Throws "Cannot park prepared update" when either step fails. The caller
// flushes the staging folder afterwards.
uint64_t park(const std::filesystem::path& candidate, const std::filesystem::path& staging);

}  // namespace mirelo
