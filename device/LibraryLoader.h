// Which device library a program uses, decided by one rule for every program:
//   1. the file named with --library PATH, else the one in KAVREN_LIBRARY;
//   2. else the libkavren.so.1 that the system's loader finds by name: LD_LIBRARY_PATH, then the system's
//      cache and default directories (where a vendor's package puts it);
//   3. else the simulator bundled in the private directory beside the program.
// --simulator forces the bundled simulator. A library that is named or found but cannot be loaded or lacks
// one of the six operations is an error, never a reason to fall back to the next place.
//
// Loading binds the six functions of kavren.h, which this library defines as forwarders to the opened
// file; a program links this library in place of a device library and calls them as usual.
#pragma once

#include <optional>
#include <string>

namespace device {

inline constexpr const char *DeviceLibraryName = "libkavren.so.1";
inline constexpr const char *LibraryVariable = "KAVREN_LIBRARY";

// What the command line asked for; KAVREN_LIBRARY is read from the environment when loading.
struct LibraryRequest {
    std::optional<std::string> library; // --library PATH, none when not given
    bool simulator = false;             // --simulator
};

enum class LibrarySource { Option, Environment, LoaderPath, Bundled };

// Why a request is bad usage (an empty --library, or --library together with --simulator), or an empty
// text. Every program that takes --library refuses by this one rule.
std::string requestProblem(const LibraryRequest &request);

// Chooses the library, opens it, checks that it offers the six operations and binds the forwarders.
// On failure returns false and sets `problem` to a sentence naming the file and what is wrong with it;
// the forwarders then keep failing every call. Loading a second time is refused.
bool loadDeviceLibrary(const LibraryRequest &request, std::string &problem);

// The absolute path of the file opened, empty until a load succeeded.
const std::string &loadedLibraryPath();
LibrarySource loadedLibrarySource();
// "named with --library", "the bundled simulator", ...
std::string sourceDescription(LibrarySource source);

// How the user names a library and asks for the simulator, for the messages: the tools' options by default,
// use_library() and use_simulator() for the Python module, which sets it before its first load.
struct LibraryNaming {
    const char *library = "--library";          // "named with --library"
    const char *libraryPath = "--library PATH"; // "Name the vendor's library with --library PATH"
    const char *simulator = "--simulator";      // "(--simulator chooses it)"
};
void setLibraryNaming(const LibraryNaming &naming);

// The bundled simulator beside the file that holds the loader: the running program, or the Python module.
// An empty text when that file does not sit in an installed layout (bin/ or the panel's libexec directory
// for a program, the Python directory lib/python3/dist-packages for the module).
std::string bundledLibraryPath();

// The rule above in a few lines, for a program's --help.
std::string libraryRuleText();
// What an operator can do about a library problem.
std::string howToProvideDeviceLibrary();

} // namespace device
