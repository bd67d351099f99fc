// The skeleton both tools share: each subcommand has its own options and a bind step that checks them
// and yields what runs it, so nothing is shared between commands and no chain of names picks one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Console.h"

namespace cli {

template <typename Options> struct Command {
    CLI::App *app;                    // to add the command's options to
    std::shared_ptr<Options> options; // where CLI11 stores them
};

// Adds a subcommand. When it is the one given, `bind` turns its options into the runner to call once
// the whole line is parsed, throwing CLI::ValidationError when they are bad usage.
template <typename Options, typename Runner, typename Bind>
Command<Options> addCommand(CLI::App &parent, const std::string &name, const std::string &description,
                            Runner &chosen, Bind bind) {
    auto options = std::make_shared<Options>();
    CLI::App *app = parent.add_subcommand(name, description);
    app->callback([&chosen, options, bind] { chosen = bind(*options); });
    return {app, options};
}

// The arguments of main in the reversed order CLI11 parses. "--name=" gives an option of `app` or of one
// of its commands that takes a value the empty value, as "--name ''" does (CLI11 alone would take the
// next argument for it). This holds after "--" too, since CLI11 goes on parsing options after "--" in a
// command that takes no more arguments.
std::vector<std::string> argumentsOf(const CLI::App &app, int argc, char *argv[]);

// Parses the arguments and binds the command given. Help goes to stdout (exit 0); bad usage puts the
// reason and the command's usage on stderr (exit 2). Nothing returned: the command is ready to run.
std::optional<int> parseCommandLine(CLI::App &app, std::vector<std::string> arguments, Console &console);

} // namespace cli
