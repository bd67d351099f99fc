// dio-mqtt: every device of a bench on an MQTT broker. Exit codes as dio's: 0 done (stopped by SIGINT,
// SIGTERM or SIGHUP), 1 failure, 2 bad usage, 3 no usable device library.
#include "BridgeCommandLine.h"
#include "CommandLine.h"
#include "Console.h"
#include "LibraryOptions.h"

int main(int argc, char *argv[]) {
    // First, so that every thread (the library's, the network's) inherits the blocked stop signals. Never
    // destroyed: its watcher thread may still be waiting while the process ends.
    static auto *const stopSignal = new mqtt::StopSignal;
    mqtt::StopSignal &stop = *stopSignal;
    cli::Console console("dio-mqtt");
    CLI::App app("Bridges the USB digital I/O devices to an MQTT broker: state, availability and commands.",
                 "dio-mqtt");
    mqtt::Options options;
    mqtt::defineCommandLine(app, options);
    if (const auto exit = cli::parseCommandLine(app, cli::argumentsOf(app, argc, argv), console))
        return *exit;
    mqtt::BridgeSettings bridgeSettings;
    mqtt::LinkSettings linkSettings;
    try {
        linkSettings = mqtt::linkSettings(options, bridgeSettings);
    } catch (const CLI::ValidationError &error) {
        console.usage(error.what(), app.help());
        return console.finish(cli::Exit::BadUsage);
    }
    if (const auto exit =
            cli::loadLibrary(options.library, options.version, "dio-mqtt " DIOPANEL_VERSION, console))
        return console.finish(*exit);
    std::string problem;
    auto link = mqtt::MqttLink::create(linkSettings, stop.wakeup(), problem);
    if (!link || !link->start(problem)) {
        console.error(problem);
        return console.finish(cli::Exit::Failed);
    }
    mqtt::Bridge bridge(bridgeSettings, *link, stop);
    stop.watch([&bridge] { bridge.lastWords(); });
    bridge.run();
    return console.finish(cli::Exit::Done);
}
