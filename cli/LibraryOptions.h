// The device library options every tool takes, --library PATH and --simulator, with the loader's rule
// for what is bad usage.
#pragma once

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "Console.h"
#include "LibraryLoader.h"

namespace cli {

// Adds --library PATH and --simulator to `app`, filling `request`. Once the line is parsed, a request the
// loader refuses (an empty path, or both options) is bad usage; this takes the app's parse-complete
// callback. Parse with cli::argumentsOf, so that "--library=" is the empty path.
void addLibraryOptions(CLI::App &app, device::LibraryRequest &request);

// Loads the library the request names. With `version`, prints `programVersion` first (even when no
// library can be used) and then the library's file. The exit code when the program is done here (no
// usable library, or --version), nothing when it goes on to its work.
std::optional<Exit> loadLibrary(const device::LibraryRequest &request, bool version,
                                const std::string &programVersion, Console &console);

} // namespace cli
