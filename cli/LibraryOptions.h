// The device library options every tool takes, --library PATH and --simulator, with the loader's rule
// for what is bad usage.
#pragma once

#include <CLI/CLI.hpp>

#include "LibraryLoader.h"

namespace cli {

// Adds --library PATH and --simulator to `app`, filling `request`. Once the line is parsed, a request the
// loader refuses (an empty path, or both options) is bad usage; this takes the app's parse-complete
// callback. Parse with cli::argumentsOf, so that "--library=" is the empty path.
void addLibraryOptions(CLI::App &app, device::LibraryRequest &request);

} // namespace cli
