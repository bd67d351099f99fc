// dio: the device operations from the command line, through the same six library operations as the panel.
// Exit codes: 0 done, 1 a call or the output failed, 2 bad usage (no library call made), 3 no usable
// device library.
#include "CommandLine.h"
#include "DioCommands.h"

int main(int argc, char *argv[]) {
    cli::Console console("dio");
    CLI::App app("The operations of a USB digital I/O device, for scripted bench checks.", "dio");
    dio::Invocation invocation;
    dio::defineCommandLine(app, invocation);
    if (const auto exit = cli::parseCommandLine(app, cli::argumentsOf(app, argc, argv), console))
        return *exit;
    return console.finish(dio::run(invocation, console));
}
