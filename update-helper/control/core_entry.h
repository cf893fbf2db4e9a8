#pragma once

// The update helper is two files in one folder. The executable, mirelo-update-helper,
// answers `--probe` with the C library alone, so that the poll costs little more than
// starting a process. Everything else (ICU, libcrypto, libplist, GLib and the C++ runtime
// with them) is in mirelo-update-core.so, which the executable loads from its own folder
// only for the modes that need it, and whose one exported symbol is the entry below.

namespace mirelo {

inline constexpr char kCoreFileName[] = "mirelo-update-core.so";
inline constexpr char kCoreEntryName[] = "mireloUpdateHelperMain";

// The entry of the core: the whole command line, as main received it; returns the exit code.
using CoreEntry = int(int argc, char** argv);

}  // namespace mirelo
