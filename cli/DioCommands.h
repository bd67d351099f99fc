// dio's command line: the options every command takes, and the five commands, each with its own.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

#include "Console.h"
#include "LibraryLoader.h"

namespace dio {

using Runner = std::function<cli::Exit(cli::Console &)>;

struct Invocation {
    device::LibraryRequest library;
    bool version = false;
    Runner command; // bound once the command line is parsed; empty for --version alone
};

void defineCommandLine(CLI::App &app, Invocation &invocation);

// Loads the device library, then prints the version or runs the command.
cli::Exit run(const Invocation &invocation, cli::Console &console);

} // namespace dio
