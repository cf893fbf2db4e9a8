#pragma once

// What every fuzz target shares: a property that does not hold stops the run at once, so
// libFuzzer saves the input and a corpus replay fails.

#include <cstdio>
#include <cstdlib>

namespace mirelo::fuzz {

inline void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace mirelo::fuzz
