// dio-sim: drives the simulated devices that every program on this machine shares. Exit codes: 0 done,
// 1 the state could not be read or changed, 2 bad usage (with that command's usage on stderr).
#include <charconv>
#include <cstdio>
#include <iostream>
#include <limits>
#include <vector>

#include <CLI/App.hpp>
#include <CLI/Config.hpp>
#include <CLI/Formatter.hpp>

#include "ByteValidator.h"
#include "DeviceText.h"
#include "SimCommands.h"
#include "TextRules.h"

namespace {

using dio_sim::Outcome;

struct BadUsage {
    std::string reason;
};

// A text from the command line in the device's single-byte form; `problem` says what else it must be.
std::string deviceText(const std::string &argument, const char *what,
                       std::optional<std::string> (*problem)(std::string_view)) {
    QByteArray bytes;
    if (!device::encodeText(QString::fromLocal8Bit(argument.c_str()), bytes))
        throw BadUsage{std::string(what) + " '" + argument +
                       "' holds a character without a single-byte form"};
    std::string text = bytes.toStdString();
    if (problem != nullptr)
        if (auto reason = problem(text))
            throw BadUsage{*reason + ": '" + argument + "'"};
    return text;
}

template <typename Number> Number number(const std::string &text, const char *what, Number low, Number high) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        throw BadUsage{std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ", not '" + text + "'"};
    return value;
}

CLI::Validator operationValidator() {
    return CLI::Validator(
        [](std::string &text) {
            return sim::parseOperation(text) ? std::string()
                                             : "unknown operation '" + text +
                                                   "': give ListDevices, OpenDevice, CloseDevice, "
                                                   "GetSWVersion, ReadPort or WritePort";
        },
        "OPERATION");
}

CLI::Validator modeValidator() {
    return CLI::Validator(
        [](std::string &text) {
            return sim::parseMode(text) ? std::string()
                                        : "unknown mode '" + text + "': give loopback, counting or manual";
        },
        "MODE");
}

// `app.help()` is the chosen command's usage, named as it is typed.
int report(const CLI::App &app, const dio_sim::Result &result) {
    std::cout << result.output << std::flush;
    if (result.outcome == Outcome::BadUsage)
        std::cerr << "dio-sim: " << result.message << "\n\n" << app.help();
    else if (result.outcome == Outcome::Failed)
        std::cerr << "dio-sim: " << result.message << "\n";
    return static_cast<int>(result.outcome);
}

} // namespace

int main(int argc, char *argv[]) {
    CLI::App app{"Drives the simulated USB DIO devices shared by every program of this user. The state "
                 "lives in $KAVREN_SIM_STATE, else $XDG_RUNTIME_DIR/kavren-sim.state, else "
                 "/tmp/kavren-sim-<uid>.state.",
                 "dio-sim"};
    app.require_subcommand(1, 1);
    app.footer("Exit codes: 0 done, 1 the state could not be read or changed, 2 bad usage.");

    std::string serial, description, mode = "loopback", version = "1.0-sim", operation, port, value;
    std::string times = "1", status = "1", message = "Simulated failure", milliseconds;
    bool json = false, always = false;

    CLI::App *statusCommand = app.add_subcommand("status", "Show every device, then the faults and delays");
    statusCommand->add_flag("--json", json, "One JSON document instead of lines");
    CLI::App *resetCommand =
        app.add_subcommand("reset", "Back to the two default devices, no faults or delays");
    CLI::App *addCommand = app.add_subcommand("add", "Add a device, plugged in, outputs 0x00");
    addCommand->add_option("SERIAL", serial, "Serial number, 1-19 bytes, no comma")->required();
    addCommand->add_option("DESCRIPTION", description, "Description, no comma")->required();
    addCommand->add_option("--mode", mode, "loopback (default), counting or manual")->check(modeValidator());
    addCommand->add_option("--version", version, "Software version text, at most 9 bytes (default 1.0-sim)");
    CLI::App *removeCommand = app.add_subcommand("remove", "Remove a device and its faults and delays");
    CLI::App *unplugCommand = app.add_subcommand("unplug", "Unplug a device: not listed, cannot be opened");
    CLI::App *plugCommand = app.add_subcommand("plug", "Plug a device back in, outputs 0x00");
    for (CLI::App *command : {removeCommand, unplugCommand, plugCommand})
        command->add_option("SERIAL", serial, "Serial number")->required();
    CLI::App *setCommand = app.add_subcommand("set", "Set an input port of a manual device");
    setCommand->add_option("SERIAL", serial, "Serial number of a manual device")->required();
    setCommand->add_option("PORT", port, "Input port 0x00 or 0x01")->required()->check(cli::byteValidator());
    setCommand->add_option("VALUE", value, "0-255: 0x5A, 90 or 0b01011010")
        ->required()
        ->check(cli::byteValidator());
    CLI::App *failCommand = app.add_subcommand("fail", "Make calls of an operation fail");
    failCommand
        ->add_option("OPERATION", operation,
                     "ListDevices, OpenDevice, CloseDevice, GetSWVersion, "
                     "ReadPort or WritePort, any case")
        ->required()
        ->check(operationValidator());
    CLI::Option *failSerial =
        failCommand->add_option("--serial", serial, "Only for this device (not for ListDevices)");
    CLI::Option *timesOption = failCommand->add_option("--times", times, "Fail the next N calls (default 1)");
    CLI::Option *alwaysOption = failCommand->add_flag("--always", always, "Fail every call until cleared");
    timesOption->excludes(alwaysOption);
    failCommand->add_option("--status", status, "Non-zero status to return (default 1)");
    CLI::Option *messageOption = failCommand->add_option(
        "--message", message,
        "Message for GetSWVersion, ReadPort and WritePort (default \"Simulated failure\", may be empty)");
    CLI::App *delayCommand = app.add_subcommand("delay", "Make every call of an operation wait first");
    delayCommand->add_option("OPERATION", operation, "Operation, any case")
        ->required()
        ->check(operationValidator());
    delayCommand->add_option("MILLISECONDS", milliseconds, "0-10000; 0 removes the delay")->required();
    CLI::Option *delaySerial =
        delayCommand->add_option("--serial", serial, "Only for this device (not for ListDevices)");
    CLI::App *clearCommand = app.add_subcommand("clear", "Remove every fault and delay");

    // CLI11 takes "--message=" for a missing value; here it is the empty message, as "--message ''" is.
    std::vector<std::string> arguments;
    for (int i = argc - 1; i > 0; --i) {
        const std::string argument = argv[i];
        arguments.push_back(argument == "--message=" ? std::string() : argument);
        if (argument == "--message=")
            arguments.push_back("--message");
    }
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp &) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError &error) {
        const bool unknownCommand = app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-';
        std::cerr << "dio-sim: "
                  << (unknownCommand ? "unknown command '" + std::string(argv[1]) + "'" : error.what())
                  << "\n\n"
                  << app.help();
        return 2;
    }

    sim::StateFile file(sim::StateFile::defaultPath());
    CLI::App *command = app.get_subcommands().front();
    try {
        if (command == statusCommand)
            return report(app, dio_sim::status(file, json));
        if (command == resetCommand)
            return report(app, dio_sim::reset(file));
        if (command == clearCommand)
            return report(app, dio_sim::clear(file));
        if (command == addCommand) {
            std::string lowered = mode;
            dio_sim::NewDevice device{deviceText(serial, "the serial number", device::serialProblem),
                                      deviceText(description, "the description", device::descriptionProblem),
                                      *sim::parseMode(lowered),
                                      deviceText(version, "the version", device::versionProblem)};
            return report(app, dio_sim::add(file, device));
        }
        const bool serialGiven = command == failCommand    ? failSerial->count() > 0
                                 : command == delayCommand ? delaySerial->count() > 0
                                                           : true;
        const std::string device =
            serialGiven ? deviceText(serial, "the serial number", device::serialProblem) : std::string();
        if (command == removeCommand)
            return report(app, dio_sim::remove(file, device));
        if (command == unplugCommand || command == plugCommand)
            return report(app, dio_sim::plug(file, device, command == plugCommand));
        if (command == setCommand)
            return report(app, dio_sim::set(file, device, *cli::parseByte(port), *cli::parseByte(value)));
        const sim::Operation chosen = *sim::parseOperation(operation);
        if (serialGiven && chosen == sim::Operation::ListDevices)
            throw BadUsage{"--serial does not go with ListDevices, which concerns every device"};
        if (command == delayCommand)
            return report(
                app, dio_sim::delay(file, chosen,
                                    number<std::uint32_t>(milliseconds, "MILLISECONDS", 0, sim::MaxDelayMs),
                                    device));
        if (messageOption->count() > 0 && !sim::hasMessage(chosen))
            throw BadUsage{"--message does not go with " + std::string(sim::operationName(chosen)) +
                           ", which has no message buffer"};
        dio_sim::Fault fault{
            chosen,
            device,
            always,
            always ? 0u
                   : number<std::uint32_t>(times, "--times", 1, std::numeric_limits<std::uint32_t>::max()),
            number<std::int32_t>(status, "--status", std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max()),
            deviceText(message, "the message", device::messageProblem)};
        if (fault.status == 0)
            throw BadUsage{"--status 0 means success; give a non-zero status"};
        return report(app, dio_sim::fail(file, fault));
    } catch (const BadUsage &bad) {
        return report(app, {Outcome::BadUsage, bad.reason, {}});
    }
}
