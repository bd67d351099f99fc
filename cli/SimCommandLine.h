// dio-sim's command line: the ten commands, each with its own options, bound to what it does to the
// simulator's state.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "Console.h"
#include "SimCommands.h"

namespace dio_sim {

using Runner = std::function<Result(sim::StateFile &)>;

void defineCommandLine(CLI::App &app, Runner &chosen);

// Prints what the command showed and why it failed (with `usage` on bad usage); the exit code.
int report(const Result &result, const std::string &usage, cli::Console &console);

} // namespace dio_sim
