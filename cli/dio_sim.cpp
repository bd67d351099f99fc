// dio-sim: drives the simulated devices that every program of this user shares. Exit codes: 0 done,
// 1 the state could not be read or changed or the output failed, 2 bad usage (with that command's
// usage on stderr).
#include "CommandLine.h"
#include "SimCommandLine.h"

int main(int argc, char *argv[]) {
    cli::Console console("dio-sim");
    CLI::App app{"Drives the simulated USB DIO devices shared by every program of this user. The state "
                 "lives in $KAVREN_SIM_STATE, else $XDG_RUNTIME_DIR/kavren-sim.state, else "
                 "/tmp/kavren-sim-<uid>/kavren-sim.state (a private directory, mode 0700).",
                 "dio-sim"};
    dio_sim::Runner command;
    dio_sim::defineCommandLine(app, command);
    if (const auto exit = cli::parseCommandLine(app, cli::argumentsOf(app, argc, argv), console))
        return *exit;
    sim::StateFile file(sim::StateFile::defaultPath());
    return dio_sim::report(command(file), app.help(), console);
}
