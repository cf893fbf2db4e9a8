#pragma once

// Volume checks and durable flushes of the install engine.

#include <cstdint>
#include <filesystem>
#include <string>

namespace mirelo::install {

// Free space that must remain beyond the size of the extracted update.
inline constexpr uint64_t kSpaceReserve = 1ull << 30;

// AtomicInstall::syncFile: fsync of the file or folder `path`, opened without following a
// final link ("Cannot open update file", "Cannot flush update file").
void syncFile(const std::string& path);
// AtomicInstall::syncVolume: a flush of the whole volume that holds `path` ("Cannot open
// update volume", "Cannot durably flush update").
void syncVolume(const std::string& path);
// AtomicInstall::requireAPFS: the volume of `path` must be able to exchange two entries
// atomically ("Cannot inspect update volume", "Atomic updates require a local APFS volume").
void requireAPFS(const std::filesystem::path& path);
// AtomicInstall::requireSpace: the volume of `on` must hold `bytes` plus kSpaceReserve
// ("Cannot inspect update volume", InstallFailure::noSpace()).
void requireSpace(const std::filesystem::path& on, uint64_t bytes);

// The arithmetic of requireSpace on the figures of one volume: returns when
// `blocksAvailable` blocks of `blockSize` bytes hold `bytes` plus kSpaceReserve, throws
// InstallFailure::noSpace() otherwise. A product beyond 64 bits is certainly enough room; a
// sum beyond 64 bits never is.
void requireRoom(uint64_t blocksAvailable, uint64_t blockSize, uint64_t bytes);

}  // namespace mirelo::install
