#pragma once

#include <cstdint>

namespace mirelo {

// The arithmetic of AtomicInstall::requireSpace on the figures of one volume: returns when
// `blocksAvailable` blocks of `blockSize` bytes hold `bytes` plus AtomicInstall::kSpaceReserve,
// throws InstallFailure::noSpace() otherwise. A product beyond 64 bits is certainly enough
// room; a sum beyond 64 bits never is.
void requireRoom(uint64_t blocksAvailable, uint64_t blockSize, uint64_t bytes);

}  // namespace mirelo
