#include "DioCommands.h"

#include <algorithm>
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
    std::string serial, interval = "100", count, duration;
    std::vector<std::string> ports, formats, outputs;
    bool countGiven = false, durationGiven = false;
    bool json = false, comment = false, stats = false;
};

constexpr const char *WatchFooter =
    "Each reading is one open-read-close transaction, on a steady rhythm (ticks at start + k * interval). "
    "Watch samples: a pulse shorter than the interval can be missed. Choose an interval at most half as "
    "long as the shortest pulse or state that must show, and check with --stats that the ticks kept up.\n"
    "VCD (1-bit wires in00_0 ... in01_7, out10_0 ..., microseconds) opens in waveform viewers; CSV has "
    "time_s and a column per port.\n"
    "The first SIGINT, SIGTERM or SIGHUP ends the recording once the library call in progress returns (up "
    "to one call's time), with the device closed, the files complete and exit 0; a second ends dio at once.";

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

// Seconds with up to three decimals ("10", "0.5"), from 1 ms to a billion seconds, as milliseconds.
std::int64_t durationArgument(const std::string &text) {
    const std::size_t point = std::min(text.find('.'), text.size());
    const std::string fraction = point < text.size() ? text.substr(point + 1) : std::string();
    const auto seconds = cli::parseInteger(std::string_view(text).substr(0, point), 0, 1'000'000'000);
    const auto thousandths = cli::parseInteger((fraction + "000").substr(0, 3), 0, 999);
    const bool digitsOnly = fraction.find_first_not_of("0123456789") == std::string::npos;
    if (!seconds || !thousandths || fraction.size() > 3 || !digitsOnly || text.starts_with('-') ||
        (point < text.size() && fraction.empty()) || *seconds * 1000 + *thousandths == 0 ||
        *seconds * 1000 + *thousandths > 1'000'000'000'000)
        throw CLI::ValidationError("--duration must be seconds from 0.001 to 1000000000, with up to three "
                                   "decimals, not '" +
                                   cli::oneLine(text) + "'");
    return *seconds * 1000 + *thousandths;
}

// Each --output with its --format: one --format for all, one per --output in the same order, or none, when
// each file's name tells (.vcd, .csv, .json, else text). No --output: standard output.
std::vector<Destination> destinationsArgument(const WatchArguments &given) {
    std::vector<std::string> formats = given.formats;
    if (given.json) {
        if (!formats.empty())
            throw CLI::ValidationError("--json is another spelling of --format json: give one of them");
        formats.push_back("json");
    }
    const std::vector<std::string> paths =
        given.outputs.empty() ? std::vector<std::string>{""} : given.outputs;
    if (formats.size() > 1 && formats.size() != paths.size())
        throw CLI::ValidationError("give one --format for all outputs, or one for each --output");
    std::vector<Destination> destinations;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (given.outputs.size() > 0 && paths[i].empty())
            throw CLI::ValidationError("--output needs a path");
        const std::string &name = formats.empty() ? std::string() : formats[formats.size() > 1 ? i : 0];
        const auto format = formats.empty() ? std::optional(formatOfFile(paths[i])) : formatNamed(name);
        if (!format)
            throw CLI::ValidationError("--format is text, json, csv or vcd, not '" + cli::oneLine(name) +
                                       "'");
        destinations.push_back({*format, paths[i] == "-" ? std::string() : paths[i]}); // "-": stdout
    }
    return destinations;
}

std::vector<std::uint8_t> portsArgument(const std::vector<std::string> &given) {
    std::vector<std::uint8_t> ports;
    for (const std::string &text : given)
        if (const std::uint8_t port = cli::byteArgument(text);
            std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    return ports.empty() ? std::vector<std::uint8_t>{0x00, 0x01} : ports;
}

void addWatch(CLI::App &app, Runner &chosen) {
    auto watch = cli::addCommand<WatchArguments>(
        app, "watch", "record the input ports (or --ports) at start and on every change", chosen,
        [](const WatchArguments &given) {
            WatchOptions options;
            options.intervalMs =
                static_cast<int>(cli::integerArgument(given.interval, "--interval", 1, 60000));
            options.changeLines =
                given.countGiven ? static_cast<int>(cli::integerArgument(given.count, "--count", 1, 1 << 30))
                                 : 0;
            options.durationMs = given.durationGiven ? durationArgument(given.duration) : 0;
            options.ports = portsArgument(given.ports);
            options.destinations = destinationsArgument(given);
            options.comment = given.comment;
            options.stats = given.stats;
            return [serial = serialArgument(given.serial), options](cli::Console &console) {
                return watchPorts(serial, options, console);
            };
        });
    WatchArguments &options = *watch.options;
    addSerial(watch.app, options.serial);
    watch.app->add_option("--interval", options.interval, "milliseconds between readings (1 to 60000)")
        ->type_name("INT");
    watch.app->add_option("--count", options.count, "stop after this many changes (1 or more)")
        ->type_name("INT")
        ->each([&options](const std::string &) { options.countGiven = true; });
    watch.app
        ->add_option("--duration", options.duration,
                     "stop this many seconds after the first reading (e.g. 10 or 0.5)")
        ->type_name("SECONDS")
        ->each([&options](const std::string &) { options.durationGiven = true; });
    watch.app
        ->add_option("--ports", options.ports, "ports to record, e.g. 0x00,0x01,0x10 (default 0x00,0x01)")
        ->delimiter(',')
        ->type_name("BYTE,...")
        ->take_all()
        ->allow_extra_args(false);
    watch.app
        ->add_option("--format", options.formats,
                     "text, json, csv or vcd (default: as the --output file is named, else text)")
        ->type_name("FORMAT")
        ->take_all()
        ->allow_extra_args(false);
    watch.app
        ->add_option("--output", options.outputs, "write to this file; - is standard output (the default)")
        ->type_name("FILE")
        ->take_all()
        ->allow_extra_args(false);
    watch.app->add_flag("--json", options.json, "the same as --format json");
    watch.app->add_flag("--comment", options.comment, "CSV: a first line '# started <UTC time>'");
    watch.app->add_flag("--stats", options.stats, "at the end, tell on stderr how many ticks were late");
    watch.app->footer(WatchFooter);
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
    if (const auto exit =
            cli::loadLibrary(invocation.library, invocation.version, "dio " DIOPANEL_VERSION, console))
        return *exit;
    return invocation.command(console);
}

} // namespace dio
