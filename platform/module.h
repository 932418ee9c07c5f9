// Kelvo's own loadable modules: parts with large libraries behind them (DCMTK, OpenSSL) that the program loads when first needed rather than at start.
#pragma once

#include <string>

namespace kelvo {

// The full path of the module `fileName`: beside the build tree's programs while they
// run from it, otherwise where the package installs modules relative to the program.
std::string ModulePath(const std::string& fileName);

// Loads the module at `path` (once per path and process; never unloaded) and returns
// what its exported function `entry` returns. On failure returns nullptr with the
// reason in `error` (the dynamic linker's words, or that the entry is missing).
const void* LoadModule(const std::string& path, const char* entry, std::string& error);

} // namespace kelvo
