// dio: the device operations from the command line, through the same six library operations as the panel.
// Exit codes: 0 done, 1 a call failed, 2 bad usage (no library call made), 3 no usable device library.

#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <QString>

#include "ByteArgument.h"
#include "ByteValidator.h"
#include "DioFormat.h"
#include "DioTransactions.h"
#include "DioWatch.h"
#include "LibraryLoader.h"

namespace {

constexpr int Failed = 1, BadUsage = 2, NoLibrary = 3;

struct Arguments {
    device::LibraryRequest library;
    bool version = false;
    bool json = false;
    std::string serialNumber;
    std::vector<std::string> ports;
    std::vector<std::string> writes;
    dio::WatchOptions watch;
};

const CLI::Validator SerialNumber(
    [](const std::string &text) -> std::string {
        device::SerialNumberBuffer buffer{};
        if (text.empty())
            return "a serial number must not be empty";
        if (!device::encodeSerialNumber(QString::fromLocal8Bit(text.c_str()), buffer))
            return "serial number " + text + " is longer than 19 bytes or has a character outside Latin-1";
        return {};
    },
    "SERIAL", "serial number");

std::optional<std::pair<std::uint8_t, std::uint8_t>> parseWrite(const std::string &text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos)
        return std::nullopt;
    const auto port = cli::parseByte(std::string_view(text).substr(0, equals));
    const auto value = cli::parseByte(std::string_view(text).substr(equals + 1));
    if (!port || !value)
        return std::nullopt;
    return std::pair(*port, *value);
}

const CLI::Validator PortWrite(
    [](const std::string &text) -> std::string {
        return parseWrite(text) ? std::string() : text + " is not PORT=VALUE with numbers from 0 to 255";
    },
    "PORT=VALUE", "port write");

CLI::App *addDeviceCommand(CLI::App &app, const char *name, const char *description, Arguments &arguments) {
    CLI::App *command = app.add_subcommand(name, description);
    command->add_option("SERIAL", arguments.serialNumber, "serial number of the device")
        ->required()
        ->check(SerialNumber);
    return command;
}

void defineCommands(CLI::App &app, Arguments &arguments) {
    app.add_option("--library", arguments.library.library, "use this device library file");
    app.add_flag("--simulator", arguments.library.simulator, "use the bundled simulated device library");
    app.add_flag("--version", arguments.version, "print dio's version and the device library in use");
    app.footer(device::libraryRuleText());
    app.require_subcommand(0, 1);
    app.fallthrough();

    app.add_subcommand("list", "list the devices: SERIAL<TAB>DESCRIPTION per line")
        ->add_flag("--json", arguments.json, "print one JSON array");
    CLI::App *read =
        addDeviceCommand(app, "read", "read ports in one transaction: PORT=VALUE per line", arguments);
    read->add_option("PORT", arguments.ports, "ports to read (default 0x00 0x01 0x10 0x11)")
        ->check(cli::byteValidator());
    read->add_flag("--json", arguments.json, "print one JSON object");
    CLI::App *write =
        addDeviceCommand(app, "write", "write ports in order, then print them as read back", arguments);
    write->add_option("PORT=VALUE", arguments.writes, "port and value, e.g. 0x10=0x5A")
        ->required()
        ->check(PortWrite);
    addDeviceCommand(app, "version", "print the device's software version", arguments);
    CLI::App *watch =
        addDeviceCommand(app, "watch", "print the input ports at start and on every change", arguments);
    watch->add_option("--interval", arguments.watch.intervalMs, "milliseconds between polls (10 to 60000)")
        ->check(CLI::Range(10, 60000));
    watch->add_option("--count", arguments.watch.changeLines, "stop after this many changes (1 or more)")
        ->check(CLI::Range(1, 1 << 30));
    watch->add_flag("--json", arguments.json, "print one JSON object per line");
}

// The help of the command that was being parsed, or of dio itself.
std::string usageOf(const CLI::App &app) {
    for (const CLI::App *command : app.get_subcommands())
        return command->help(app.get_name());
    return app.help();
}

int reportFailures(const std::vector<std::string> &failures) {
    for (const std::string &failure : failures)
        std::fprintf(stderr, "dio: %s\n", failure.c_str());
    return Failed;
}

int printResult(const std::vector<std::string> &failures, const std::string &output) {
    if (!failures.empty())
        return reportFailures(failures);
    std::fputs(output.c_str(), stdout);
    return 0;
}

device::SerialNumberBuffer serialBuffer(const std::string &serialNumber) {
    device::SerialNumberBuffer buffer{};
    device::encodeSerialNumber(QString::fromLocal8Bit(serialNumber.c_str()), buffer); // checked when parsed
    return buffer;
}

int run(const CLI::App &app, const Arguments &arguments) {
    const std::string command =
        app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name();
    const device::SerialNumberBuffer serialNumber = serialBuffer(arguments.serialNumber);
    if (command == "list") {
        dio::Listing listing;
        const auto failures = dio::listDevices(listing);
        if (!listing.disagreement.empty())
            std::fprintf(stderr, "dio: %s\n", listing.disagreement.c_str());
        return printResult(failures, arguments.json ? dio::listJson(listing) : dio::listText(listing));
    }
    if (command == "read") {
        std::vector<std::uint8_t> ports;
        for (const std::string &port : arguments.ports)
            ports.push_back(*cli::parseByte(port));
        if (ports.empty())
            ports = {0x00, 0x01, 0x10, 0x11};
        dio::PortValues values;
        const auto failures = dio::readPorts(serialNumber, ports, values);
        return printResult(failures, arguments.json ? dio::portsJson(arguments.serialNumber, values)
                                                    : dio::portsText(values));
    }
    if (command == "write") {
        dio::PortValues writes, readBack;
        for (const std::string &write : arguments.writes)
            writes.push_back(*parseWrite(write));
        const auto failures = dio::writePorts(serialNumber, writes, readBack);
        return printResult(failures, dio::portsText(readBack));
    }
    if (command == "version") {
        std::string version;
        const auto failures = dio::readVersion(serialNumber, version);
        return printResult(failures, version + '\n');
    }
    dio::WatchOptions watch = arguments.watch;
    watch.json = arguments.json;
    return dio::watchInputs(serialNumber, watch);
}

} // namespace

int main(int argc, char *argv[]) {
    CLI::App app("The operations of a USB digital I/O device, for scripted bench checks.", "dio");
    Arguments arguments;
    defineCommands(app, arguments);
    try {
        app.parse(argc, argv);
        if (const std::string problem = device::requestProblem(arguments.library); !problem.empty())
            throw CLI::ValidationError(problem);
        if (!arguments.version && app.get_subcommands().empty())
            throw CLI::RequiredError("A command");
    } catch (const CLI::CallForHelp &) {
        std::fputs(usageOf(app).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &error) {
        std::fprintf(stderr, "dio: %s\n\n%s", error.what(), usageOf(app).c_str());
        return BadUsage;
    }

    std::string problem;
    const bool loaded = device::loadDeviceLibrary(arguments.library, problem);
    if (arguments.version)
        std::printf("dio %s\n", DIOPANEL_VERSION);
    if (!loaded) {
        std::fprintf(stderr, "dio: %s\n%s\n", problem.c_str(), device::howToProvideDeviceLibrary().c_str());
        return NoLibrary;
    }
    if (arguments.version) {
        std::printf("device library: %s\n", device::loadedLibraryPath().c_str());
        return 0;
    }
    return run(app, arguments);
}
