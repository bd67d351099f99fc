// dio-sim's command line: the ten commands, each with its own options, bound to what it does to the
// simulator's state.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Console.h"
#include "SimCommands.h"

namespace dio_sim {

using Runner = std::function<Result(sim::StateFile &)>;

void defineCommandLine(CLI::App &app, Runner &chosen);

// The arguments in CLI11's order; "--message=" is the empty message, as "--message ''" is (CLI11 would
// take it for a missing value).
std::vector<std::string> argumentsOf(int argc, char *argv[]);

// Prints what the command showed and why it failed (with `usage` on bad usage); the exit code.
int report(const Result &result, const std::string &usage, cli::Console &console);

} // namespace dio_sim
