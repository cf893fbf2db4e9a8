#pragma once

// Extraction of a vetted archive into its staging folder, with the verification and the
// flushes that make the candidate trustworthy and durable.

#include <filesystem>
#include <string>

#include "update-helper/install/archive_inspection.h"
#include "update-helper/install/identity.h"

namespace mirelo {

class UpdateStaging;

namespace install {

// AtomicInstall::extract: unpacks `archive` into `into` with the system's unzip, requires
// the candidate's identity and version and its full signature against the installed
// application's requirement ("Update signature mismatch"), flushes every file and folder of
// it and the volume, and returns the candidate bundle. A cancellation is noticed before the
// flushes and every 256 flushed files (InstallFailure::cancelled()). On failure the staging
// folder may hold part of the extraction; removing it is the caller's.
std::filesystem::path extract(const std::filesystem::path& archive, const ArchiveContents& contents,
                              UpdateStaging& into, const InstalledApplication& installed, const std::string& version);

}  // namespace install
}  // namespace mirelo
