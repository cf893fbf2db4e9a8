#pragma once

#include <filesystem>
#include <optional>

#include "platform/unique_fd.h"
#include "update-helper/store/records.h"

namespace mirelo {

// The update helper's handle on one work directory and its records. It keeps nothing but the
// directory's path: every operation reads the directory afresh, and neither construction
// nor destruction touches the disk.
class PreparedStore {
 public:
  using Claim = StagingClaim;

  explicit PreparedStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

  const std::filesystem::path& directory() const { return directory_; }
  std::filesystem::path requestPath() const { return directory_ / "request.json"; }
  std::filesystem::path claimPath() const { return directory_ / "claim.json"; }
  std::filesystem::path recordPath() const { return directory_ / "prepared.json"; }
  std::filesystem::path lockPath() const { return directory_ / "active.lock"; }

  // The one way any record is read or written (records.h).
  template <class Record>
  static std::optional<Record> read(const std::filesystem::path& path) noexcept {
    return readRecord<Record>(path);
  }
  template <class Record>
  static void write(const Record& record, const std::filesystem::path& destination) {
    writeRecord(record, destination);
  }

  // The request of "request.json" when it reads as a complete request and passes every
  // value rule; throws "Invalid update request" otherwise, whatever the cause.
  PrepareRequest readRequest() const;

  // Removes "claim.json" and "prepared.json" and the staging folders they name, as far as
  // that can be done safely: a folder is removed only when proven to be the recorded one,
  // and a record stays only when its folder may still exist because removing it failed.
  // Reports nothing.
  void discard() const noexcept;

  // Moves "prepared.json" into the session directory `into` as "adopted.json" (replacing
  // one there) and returns the candidate it records. Returns nothing when there is no record
  // to move, or when the moved record is not a complete candidate (its staging folder is then
  // removed when proven). "adopted.json" stays in `into` whenever the move succeeded.
  std::optional<PreparedCandidate> claim(const std::filesystem::path& into) const noexcept;

  // Blocks until this directory's "active.lock" is exclusively locked by a new descriptor
  // and returns it, or returns nothing when the lock file cannot be opened (a link, for
  // instance) or locking fails other than by interruption. Closing the descriptor releases
  // the lock. Waiting on a directory whose lock this process already holds never returns.
  std::optional<UniqueFd> waitUntilIdle() const noexcept;

  // Prepares the candidate of a validated request and records it in "prepared.json".
  PreparedCandidate prepare(const PrepareRequest& request);

 private:
  // Removes the staging folder that `claim` names when it is proven to be the recorded one.
  // True when the record may be forgotten: the folder is gone, was removed, or is not the
  // recorded one (and was left alone).
  bool remove(const Claim& claim) const noexcept;

  std::filesystem::path directory_;
};

}  // namespace mirelo
