#include "SimCommandLine.h"

#include <limits>

#include "Arguments.h"
#include "CommandLine.h"

namespace dio_sim {

namespace {

using cli::DeviceText;
using cli::deviceTextArgument;

struct NoOptions {};
struct StatusOptions {
    bool json = false;
};
struct AddOptions {
    std::string serial, description, mode = "loopback", version = "1.0-sim";
};
struct SerialOptions {
    std::string serial;
};
struct SetOptions {
    std::string serial, port, value;
};
struct FailOptions {
    std::string operation, serial, times = "1", status = "1", message = "Simulated failure";
    bool serialGiven = false, messageGiven = false, always = false;
};
struct DelayOptions {
    std::string operation, milliseconds, serial;
    bool serialGiven = false;
};

sim::Operation operationArgument(std::string text) {
    if (const auto operation = sim::parseOperation(text))
        return *operation;
    throw CLI::ValidationError("unknown operation '" + cli::oneLine(text) +
                               "': give ListDevices, OpenDevice, CloseDevice, GetSWVersion, ReadPort or "
                               "WritePort");
}

sim::Mode modeArgument(std::string text) {
    if (const auto mode = sim::parseMode(text))
        return *mode;
    throw CLI::ValidationError("unknown mode '" + cli::oneLine(text) +
                               "': give loopback, counting or manual");
}

// The device a fault or delay is for: one, or every device when no --serial was given.
std::string targetArgument(const std::string &serial, bool given, sim::Operation operation) {
    if (given && operation == sim::Operation::ListDevices)
        throw CLI::ValidationError("--serial does not go with ListDevices, which concerns every device");
    return given ? deviceTextArgument(serial, DeviceText::Serial) : std::string();
}

void flagWhenGiven(CLI::Option *option, bool &given) {
    option->each([&given](const std::string &) { given = true; });
}

void addStatus(CLI::App &app, Runner &chosen) {
    auto status = cli::addCommand<StatusOptions>(
        app, "status", "Show every device, then the faults and delays", chosen,
        [](const StatusOptions &options) {
            return [json = options.json](sim::StateFile &file) { return dio_sim::status(file, json); };
        });
    status.app->add_flag("--json", status.options->json, "One JSON document instead of lines");
}

void addReset(CLI::App &app, Runner &chosen) {
    cli::addCommand<NoOptions>(app, "reset", "Back to the two default devices, no faults or delays", chosen,
                               [](const NoOptions &) { return Runner(dio_sim::reset); });
}

void addAdd(CLI::App &app, Runner &chosen) {
    auto add = cli::addCommand<AddOptions>(
        app, "add", "Add a device, plugged in, outputs 0x00", chosen, [](const AddOptions &options) {
            const NewDevice device{deviceTextArgument(options.serial, DeviceText::Serial),
                                   deviceTextArgument(options.description, DeviceText::Description),
                                   modeArgument(options.mode),
                                   deviceTextArgument(options.version, DeviceText::Version)};
            return [device](sim::StateFile &file) { return dio_sim::add(file, device); };
        });
    add.app->add_option("SERIAL", add.options->serial, "Serial number, 1-19 bytes, no comma")->required();
    add.app->add_option("DESCRIPTION", add.options->description, "Description, no comma")->required();
    add.app->add_option("--mode", add.options->mode, "loopback (default), counting or manual")
        ->type_name("TEXT:MODE");
    add.app->add_option("--version", add.options->version,
                        "Software version text, at most 9 bytes (default 1.0-sim)");
}

using SerialChange = std::function<Result(sim::StateFile &, const std::string &)>;

void addSerialCommand(CLI::App &app, Runner &chosen, const char *name, const char *description,
                      SerialChange change) {
    auto command = cli::addCommand<SerialOptions>(
        app, name, description, chosen, [change](const SerialOptions &options) -> Runner {
            return [change, serial = deviceTextArgument(options.serial, DeviceText::Serial)](
                       sim::StateFile &file) { return change(file, serial); };
        });
    command.app->add_option("SERIAL", command.options->serial, "Serial number")->required();
}

void addSerialCommands(CLI::App &app, Runner &chosen) {
    addSerialCommand(app, chosen, "remove", "Remove a device and its faults and delays", dio_sim::remove);
    addSerialCommand(
        app, chosen, "unplug", "Unplug a device: not listed, cannot be opened",
        [](sim::StateFile &file, const std::string &serial) { return plug(file, serial, false); });
    addSerialCommand(
        app, chosen, "plug", "Plug a device back in, outputs 0x00",
        [](sim::StateFile &file, const std::string &serial) { return plug(file, serial, true); });
}

void addSet(CLI::App &app, Runner &chosen) {
    auto set = cli::addCommand<SetOptions>(
        app, "set", "Set an input port of a manual device", chosen, [](const SetOptions &options) {
            return [serial = deviceTextArgument(options.serial, DeviceText::Serial),
                    port = cli::byteArgument(options.port), value = cli::byteArgument(options.value)](
                       sim::StateFile &file) { return dio_sim::set(file, serial, port, value); };
        });
    set.app->add_option("SERIAL", set.options->serial, "Serial number of a manual device")->required();
    set.app->add_option("PORT", set.options->port, "Input port 0x00 or 0x01")
        ->required()
        ->type_name("TEXT:BYTE");
    set.app->add_option("VALUE", set.options->value, "0-255: 0x5A, 90 or 0b01011010")
        ->required()
        ->type_name("TEXT:BYTE");
}

Fault faultOf(const FailOptions &options) {
    const sim::Operation operation = operationArgument(options.operation);
    const std::string serial = targetArgument(options.serial, options.serialGiven, operation);
    if (options.messageGiven && !sim::hasMessage(operation))
        throw CLI::ValidationError("--message does not go with " +
                                   std::string(sim::operationName(operation)) +
                                   ", which has no message buffer");
    constexpr auto MaxTimes = std::numeric_limits<std::uint32_t>::max();
    const auto times =
        options.always
            ? 0u
            : static_cast<std::uint32_t>(cli::integerArgument(options.times, "--times", 1, MaxTimes));
    const auto status = static_cast<std::int32_t>(
        cli::integerArgument(options.status, "--status", std::numeric_limits<std::int32_t>::min(),
                             std::numeric_limits<std::int32_t>::max()));
    if (status == 0)
        throw CLI::ValidationError("--status 0 means success; give a non-zero status");
    const std::string message = deviceTextArgument(options.message, DeviceText::Message);
    return {operation, serial, options.always, times, status, message};
}

void addFail(CLI::App &app, Runner &chosen) {
    auto fail = cli::addCommand<FailOptions>(
        app, "fail", "Make calls of an operation fail", chosen, [](const FailOptions &options) {
            return [fault = faultOf(options)](sim::StateFile &file) { return dio_sim::fail(file, fault); };
        });
    FailOptions &options = *fail.options;
    fail.app
        ->add_option("OPERATION", options.operation,
                     "ListDevices, OpenDevice, CloseDevice, GetSWVersion, ReadPort or WritePort, any case")
        ->required()
        ->type_name("TEXT:OPERATION");
    flagWhenGiven(
        fail.app->add_option("--serial", options.serial, "Only for this device (not for ListDevices)"),
        options.serialGiven);
    CLI::Option *times = fail.app->add_option("--times", options.times, "Fail the next N calls (default 1)");
    times->excludes(fail.app->add_flag("--always", options.always, "Fail every call until cleared"));
    fail.app->add_option("--status", options.status, "Non-zero status to return (default 1)");
    flagWhenGiven(
        fail.app->add_option(
            "--message", options.message,
            "Message for GetSWVersion, ReadPort and WritePort (default \"Simulated failure\", may be empty)"),
        options.messageGiven);
}

void addDelay(CLI::App &app, Runner &chosen) {
    auto delay = cli::addCommand<DelayOptions>(
        app, "delay", "Make every call of an operation wait first", chosen, [](const DelayOptions &options) {
            const sim::Operation operation = operationArgument(options.operation);
            const std::string serial = targetArgument(options.serial, options.serialGiven, operation);
            const auto milliseconds = static_cast<std::uint32_t>(
                cli::integerArgument(options.milliseconds, "MILLISECONDS", 0, sim::MaxDelayMs));
            return [operation, milliseconds, serial](sim::StateFile &file) {
                return dio_sim::delay(file, operation, milliseconds, serial);
            };
        });
    DelayOptions &options = *delay.options;
    delay.app->add_option("OPERATION", options.operation, "Operation, any case")
        ->required()
        ->type_name("TEXT:OPERATION");
    delay.app->add_option("MILLISECONDS", options.milliseconds, "0-10000; 0 removes the delay")->required();
    flagWhenGiven(
        delay.app->add_option("--serial", options.serial, "Only for this device (not for ListDevices)"),
        options.serialGiven);
}

void addClear(CLI::App &app, Runner &chosen) {
    cli::addCommand<NoOptions>(app, "clear", "Remove every fault and delay", chosen,
                               [](const NoOptions &) { return Runner(dio_sim::clear); });
}

} // namespace

void defineCommandLine(CLI::App &app, Runner &chosen) {
    app.require_subcommand(1, 1);
    app.footer("Changes are made under a lock on <state>.lock; a writer waits at most 2 s for it.\n"
               "Exit codes: 0 done, 1 the state could not be read or changed, or the output failed, "
               "2 bad usage.");
    for (const auto add :
         {addStatus, addReset, addAdd, addSerialCommands, addSet, addFail, addDelay, addClear})
        add(app, chosen);
}

int report(const Result &result, const std::string &usage, cli::Console &console) {
    console.print(result.output);
    if (result.outcome == Outcome::BadUsage)
        console.usage(result.message, usage);
    else if (result.outcome == Outcome::Failed)
        console.error(result.message);
    return console.finish(result.outcome);
}

} // namespace dio_sim
