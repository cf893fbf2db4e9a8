#pragma once

#include <string>

namespace mirelo {

// The command-line state of one update-helper process, set once by main before any work:
// the work directory exactly as given (never normalised) and the descriptor that holds its
// lock for the life of the process.
struct HelperProcess {
  std::string directory;
  int fd = -1;
};

HelperProcess& helperProcess();

}  // namespace mirelo
