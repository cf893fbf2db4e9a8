#pragma once

// The inventory digest of a bundle tree: one record per item (path, kind or link target,
// permission bits, size, modification time), sorted by Unicode scalar values after
// canonical composition, hashed with SHA-256.

#include <filesystem>
#include <string>

namespace mirelo::install {

// Whether a walk stops once the work is cancelled. A preparation that has verified its
// candidate completes and records it whatever arrives; the re-proof of an adoption stops,
// so that the session's end is not held up by a large bundle.
enum class InventoryCancellation { kIgnored, kObserved };

// AtomicInstall::inventory: the digest as lower-case hexadecimal text. Throws "Cannot
// inspect update" when the tree cannot be walked completely, "Unexpected update entry" for
// an item that is not a file, folder or link, and, when cancellation is observed,
// InstallFailure::cancelled() at the checkpoint that every 256 items pass once the work is
// cancelled.
std::string inventory(const std::filesystem::path& bundle,
                      InventoryCancellation cancellation = InventoryCancellation::kIgnored);

}  // namespace mirelo::install
