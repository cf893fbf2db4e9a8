// Feeds arbitrary bytes to the session's reader of the "phase" file, written to a real file
// as the desktop application would, and checks that the session sees exactly what was
// written: the whole content while it is short, and never a phase word when the file only
// begins with one. The reader lives inside the session's source file, so that file is
// compiled into this target.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "update-helper/control/update_window.cc"

namespace {

const std::string& phasePath() {
  static const std::string path = [] {
    char folder[] = "/tmp/mirelo-phase-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    static const std::string remove = folder;
    std::atexit([] { std::filesystem::remove_all(remove); });
    return std::string(folder) + "/phase";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using mirelo::fuzz::require;
  const std::string written(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(phasePath(), std::ios::binary | std::ios::trunc);
    out.write(written.data(), static_cast<std::streamsize>(written.size()));
    if (!out) std::abort();
  }
  const std::optional<std::string> read = mirelo::readPhaseFile(phasePath());
  require(read.has_value(), "a readable phase file is read");
  require(std::string_view(written).starts_with(*read), "the phase read is what was written");
  if (written.size() <= mirelo::kPhaseReadLimit) {
    require(*read == written, "a short phase file is read whole");
  } else {
    require(read->size() > mirelo::kPhaseReadLimit, "a long phase file never reads as a short word");
  }
  for (const std::string_view word : {"installing", "complete", "cancel"}) {
    require((*read == word) == (written == word), "a phase word is recognised only when it is the whole file");
  }
  return 0;
}
