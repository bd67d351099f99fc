// Which device library the module uses: the tools' rule, decided once per process at the first call
// that needs the library. use_library() and use_simulator() are the tools' --library and --simulator;
// without them KAVREN_LIBRARY, the system's loader and the simulator bundled beside the module follow.
#pragma once

#include <filesystem>
#include <string>

namespace pydio {

// The loader's messages speak of use_library() and use_simulator() instead of the tools' options.
void nameLibrariesAsPython();

// Before the first call: the library to use, loaded and checked at once (LibraryFailure when it cannot be
// used; the next call tries again). Once one is loaded, asking for another raises RuntimeError and asking
// for the one in use changes nothing.
void useLibrary(const std::filesystem::path &path);
void useSimulator();

// Loads the chosen library unless it is loaded; throws LibraryFailure with the tools' message when it
// cannot be used (and tries again at the next call).
void ensureLoaded();

// The absolute path of the library in use, loading it first.
std::string libraryPath();

} // namespace pydio
