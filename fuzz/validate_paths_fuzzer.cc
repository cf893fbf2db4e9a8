// Feeds arbitrary entry lists and link maps to the path rules and compares the verdict with
// the literal reference.
//
// Input: lines separated by line feeds. The first line is the root. A line that starts with
// "L" is a link: the name runs up to the first tab, the target after it. Any other line is a
// path ("P" in front is dropped, so a path may start with "L"). Byte 0x01 stands for a line
// feed inside a name or target; every other byte is taken as it is.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/validate_paths_reference.h"
#include "update-helper/install/atomic_install.h"
#include "update-helper/common/install_failure.h"
#include "update-helper/install/path_validation.h"

namespace {

std::string decode(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c == '\x01') c = '\n';
  }
  return result;
}

void print(const char* label, const std::string& text) {
  std::fprintf(stderr, "%s: [", label);
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", c);
    }
  }
  std::fprintf(stderr, "]\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const std::string root = decode(lines[0]);
  std::vector<std::string> paths;
  mirelo::ArchiveLinks links;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.starts_with('L')) {
      line.remove_prefix(1);
      size_t tab = line.find('\t');
      std::string_view name = line.substr(0, tab);
      std::string_view target = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
      links.emplace_back(decode(name), decode(target));
    } else {
      if (line.starts_with('P')) line.remove_prefix(1);
      paths.push_back(decode(line));
    }
  }

  std::string verdict;
  try {
    mirelo::AtomicInstall::validatePaths(paths, links, root);
  } catch (const mirelo::InstallFailure& failure) {
    verdict = failure.message();
  }
  const std::string expected = mirelo::fuzzing::referenceValidatePaths(paths, links, root);
  // The archive inspection validates the names alone first and then, once they passed, the
  // same names with the links, skipping the rules on the names. That must not change the
  // verdict.
  if (verdict == expected && mirelo::fuzzing::referenceValidatePaths(paths, {}, root).empty()) {
    try {
      mirelo::path_validation::validate(paths, links, root, mirelo::path_validation::NameRules::kAlreadyPassed);
      verdict.clear();
    } catch (const mirelo::InstallFailure& failure) {
      verdict = failure.message();
    }
  }
  if (verdict != expected) {
    print("validatePaths", verdict);
    print("reference", expected);
    print("root", root);
    for (const std::string& path : paths) print("path", path);
    for (const auto& [name, target] : links) {
      print("link", name);
      print("  to", target);
    }
    std::abort();
  }
  return 0;
}
