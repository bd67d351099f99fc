#include "DioCommands.h"

#include <string>
#include <vector>

#include "Arguments.h"
#include "CommandLine.h"
#include "DioFormat.h"
#include "DioTransactions.h"
#include "DioWatch.h"
#include "LibraryOptions.h"

namespace dio {

namespace {

using cli::Exit;

struct ListOptions {
    bool json = false;
};
struct ReadOptions {
    std::string serial;
    std::vector<std::string> ports;
    bool json = false;
};
struct WriteOptions {
    std::string serial;
    std::vector<std::string> writes;
};
struct VersionOptions {
    std::string serial;
};
struct WatchArguments {
    std::string serial, interval = "100", count;
    bool countGiven = false;
    bool json = false;
};

const std::vector<std::uint8_t> DefaultPorts = {0x00, 0x01, 0x10, 0x11};

device::SerialNumberBuffer serialArgument(const std::string &text) {
    return device::serialNumberBuffer(cli::deviceTextArgument(text, cli::DeviceText::Serial));
}

void addSerial(CLI::App *command, std::string &serial) {
    command->add_option("SERIAL", serial, "serial number of the device")
        ->required()
        ->type_name("TEXT:SERIAL");
}

std::pair<std::uint8_t, std::uint8_t> writeArgument(const std::string &text) {
    const std::size_t equals = text.find('=');
    const auto port = cli::parseByte(std::string_view(text).substr(0, equals));
    const auto value = equals == std::string::npos ? std::nullopt : cli::parseByte(text.substr(equals + 1));
    if (!port || !value)
        throw CLI::ValidationError(cli::oneLine(text) + " is not PORT=VALUE with numbers from 0 to 255");
    return {*port, *value};
}

// Prints the output when every call succeeded, else why they failed.
Exit printUnlessFailed(const std::vector<std::string> &failures, const std::string &output,
                       cli::Console &console) {
    for (const std::string &failure : failures)
        console.error(failure);
    if (failures.empty())
        console.print(output);
    return failures.empty() ? Exit::Done : Exit::Failed;
}

void addList(CLI::App &app, Runner &chosen) {
    auto list = cli::addCommand<ListOptions>(
        app, "list", "list the devices: SERIAL<TAB>DESCRIPTION per line", chosen,
        [](const ListOptions &options) {
            return [json = options.json](cli::Console &console) {
                Listing listing;
                const auto failures = listDevices(listing);
                if (!listing.disagreement.empty())
                    console.error(listing.disagreement);
                return printUnlessFailed(failures, json ? listJson(listing) : listText(listing), console);
            };
        });
    list.app->add_flag("--json", list.options->json, "print one JSON array");
}

void addRead(CLI::App &app, Runner &chosen) {
    auto read = cli::addCommand<ReadOptions>(
        app, "read", "read ports in one transaction: PORT=VALUE per line", chosen,
        [](const ReadOptions &options) {
            std::vector<std::uint8_t> ports;
            for (const std::string &port : options.ports)
                ports.push_back(cli::byteArgument(port));
            return [serial = serialArgument(options.serial), ports = ports.empty() ? DefaultPorts : ports,
                    json = options.json](cli::Console &console) {
                PortValues values;
                const auto failures = readPorts(serial, ports, values);
                return printUnlessFailed(
                    failures, json ? portsJson(device::boundedText(serial), values) : portsText(values),
                    console);
            };
        });
    addSerial(read.app, read.options->serial);
    read.app->add_option("PORT", read.options->ports, "ports to read (default 0x00 0x01 0x10 0x11)")
        ->type_name("TEXT:BYTE");
    read.app->add_flag("--json", read.options->json, "print one JSON object");
}

void addWrite(CLI::App &app, Runner &chosen) {
    auto write = cli::addCommand<WriteOptions>(
        app, "write", "write ports in order, then print them as read back", chosen,
        [](const WriteOptions &options) {
            PortValues writes;
            for (const std::string &text : options.writes)
                writes.push_back(writeArgument(text));
            return [serial = serialArgument(options.serial), writes](cli::Console &console) {
                PortValues readBack;
                const auto failures = writePorts(serial, writes, readBack);
                return printUnlessFailed(failures, portsText(readBack), console);
            };
        });
    addSerial(write.app, write.options->serial);
    write.app->add_option("PORT=VALUE", write.options->writes, "port and value, e.g. 0x10=0x5A")
        ->required()
        ->type_name("TEXT:PORT=VALUE");
}

void addVersion(CLI::App &app, Runner &chosen) {
    auto version = cli::addCommand<VersionOptions>(
        app, "version", "print the device's software version", chosen, [](const VersionOptions &options) {
            return [serial = serialArgument(options.serial)](cli::Console &console) {
                std::string text;
                const auto failures = readVersion(serial, text);
                return printUnlessFailed(failures, versionText(text), console);
            };
        });
    addSerial(version.app, version.options->serial);
}

void addWatch(CLI::App &app, Runner &chosen) {
    auto watch = cli::addCommand<WatchArguments>(
        app, "watch", "print the input ports at start and on every change", chosen,
        [](const WatchArguments &given) {
            const WatchOptions options{
                static_cast<int>(cli::integerArgument(given.interval, "--interval", 10, 60000)),
                !given.countGiven
                    ? 0
                    : static_cast<int>(cli::integerArgument(given.count, "--count", 1, 1 << 30)),
                given.json};
            // Before the library is loaded, so that any thread it starts inherits the blocked signals.
            blockStopSignals();
            return [serial = serialArgument(given.serial), options](cli::Console &console) {
                return watchInputs(serial, options, console);
            };
        });
    addSerial(watch.app, watch.options->serial);
    watch.app->add_option("--interval", watch.options->interval, "milliseconds between polls (10 to 60000)")
        ->type_name("INT");
    watch.app->add_option("--count", watch.options->count, "stop after this many changes (1 or more)")
        ->type_name("INT")
        ->each([options = watch.options](const std::string &) { options->countGiven = true; });
    watch.app->add_flag("--json", watch.options->json, "print one JSON object per line");
}

} // namespace

void defineCommandLine(CLI::App &app, Invocation &invocation) {
    cli::addLibraryOptions(app, invocation.library);
    app.add_flag("--version", invocation.version, "print dio's version and the device library in use");
    app.footer(device::libraryRuleText());
    app.require_subcommand(0, 1);
    app.fallthrough();
    for (const auto add : {addList, addRead, addWrite, addVersion, addWatch})
        add(app, invocation.command);
    app.callback([&invocation] {
        if (!invocation.version && !invocation.command)
            throw CLI::RequiredError("A command");
    });
}

Exit run(const Invocation &invocation, cli::Console &console) {
    std::string problem;
    const bool loaded = device::loadDeviceLibrary(invocation.library, problem);
    if (invocation.version)
        console.print("dio " DIOPANEL_VERSION "\n");
    if (!loaded) {
        console.error(problem);
        console.note(device::howToProvideDeviceLibrary());
        return Exit::NoLibrary;
    }
    if (invocation.version) {
        console.print("device library: " + cli::oneLine(device::loadedLibraryPath()) + "\n");
        return Exit::Done;
    }
    return invocation.command(console);
}

} // namespace dio
