#pragma once

// Turning the candidate of a finished background preparation into an install transaction.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace mirelo {

class AtomicInstall;
class PreparedStore;

// Waits until no preparation runs on `store`'s directory, moves its "prepared.json" into
// `sessionDirectory` as "adopted.json" and adopts the candidate. Returns nothing when the
// preparation directory's lock cannot be taken, when there is no candidate to claim, or
// when the adoption fails; an adoption failure is logged as "update-prepared-fallback"
// with its reason as kind. The preparation directory's lock is released in every case.
// Throws only a cancellation, which the caller must not fall back from.
std::unique_ptr<AtomicInstall> adoptPrepared(const PreparedStore& store, const std::filesystem::path& sessionDirectory,
                                             const std::filesystem::path& target, const std::string& version,
                                             pid_t pid);

// Whether `preparationDirectory` is the directory whose lock `heldLock` holds: the two
// "active.lock" files are one file. Waiting for that directory's lock would wait for ever.
bool isOwnWorkDirectory(const std::filesystem::path& preparationDirectory, int heldLock) noexcept;

}  // namespace mirelo
