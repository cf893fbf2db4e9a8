// Feeds arbitrary text to the parsers of the code directory and the resource seal. Both
// formats are canonical, so whatever parses must encode back to exactly the bytes read, and
// the parsed values must obey the rules that the checks rely on.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/codesign.h"
#include "platform/codesign_format.h"

namespace {

namespace format = mirelo::codesign::format;
using mirelo::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const format::Directory directory = format::parseDirectory(bytes);
    require(format::encodeDirectory(directory) == bytes, "a code directory encodes back to its bytes");
    require(format::isValidIdentifier(directory.identifier), "a parsed identifier can stand in a requirement");
    if (directory.executable) require(format::isPlainName(*directory.executable), "the executable is one plain name");
  } catch (const mirelo::codesign::SignatureError&) {
  }
  try {
    const format::Seal seal = format::parseSeal(bytes);
    require(format::encodeSeal(seal) == bytes, "a seal encodes back to its bytes");
    for (const auto& [path, entry] : seal) {
      require(!path.empty() && !path.starts_with('/') && !path.ends_with('/'), "a sealed path is relative");
      size_t start = 0;
      for (;;) {
        const size_t slash = path.find('/', start);
        require(format::isPlainName(std::string_view(path).substr(start, slash - start)),
                "every component of a sealed path is a plain name");
        if (slash == std::string::npos) break;
        start = slash + 1;
      }
      const size_t digestSize = entry.kind == format::SealKind::kNested   ? 20u
                                : entry.kind == format::SealKind::kFolder ? 0u
                                                                          : 32u;
      require(entry.digest.size() == digestSize, "a sealed digest has the size of its kind");
    }
  } catch (const mirelo::codesign::SignatureError&) {
  }
  return 0;
}
