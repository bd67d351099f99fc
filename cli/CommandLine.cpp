#include "CommandLine.h"

#include <string_view>

namespace cli {

namespace {

// Whether `app` or one of its commands has an option of that long name that takes a value.
bool takesValue(const CLI::App &app, const std::string &name) {
    if (const CLI::Option *option = app.get_option_no_throw(name);
        option != nullptr && option->get_items_expected_max() > 0)
        return true;
    for (const CLI::App *command : app.get_subcommands([](const CLI::App *) { return true; }))
        if (takesValue(*command, name))
            return true;
    return false;
}

} // namespace

std::vector<std::string> argumentsOf(const CLI::App &app, int argc, char *argv[]) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool emptyValue = argument.starts_with("--") && argument.size() > 3 &&
                                argument.find('=') == argument.size() - 1 &&
                                takesValue(app, std::string(argument.substr(0, argument.size() - 1)));
        arguments.emplace_back(emptyValue ? argument.substr(0, argument.size() - 1) : argument);
        if (emptyValue)
            arguments.emplace_back();
        else if (i + 1 < argc && takesValue(app, arguments.back()))
            arguments.emplace_back(argv[++i]); // the option's value, whatever it looks like
    }
    return {arguments.rbegin(), arguments.rend()};
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
