#include "CommandLine.h"

namespace cli {

std::vector<std::string> argumentsOf(int argc, char *argv[]) {
    std::vector<std::string> arguments;
    for (int i = argc - 1; i > 0; --i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::optional<int> parseCommandLine(CLI::App &app, std::vector<std::string> arguments, Console &console) {
    const std::string first = arguments.empty() ? std::string() : arguments.back();
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp &) {
        console.print(app.help()); // the chosen command's help, named as it is typed
        return console.finish(Exit::Done);
    } catch (const CLI::ParseError &error) {
        const bool unknownCommand = app.get_subcommands().empty() && !first.empty() && first[0] != '-';
        console.usage(unknownCommand ? "unknown command '" + first + "'" : error.what(), app.help());
        return console.finish(Exit::BadUsage);
    }
    return std::nullopt;
}

} // namespace cli
