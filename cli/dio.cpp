// dio: the device operations from the command line, through the same six library operations as the panel.
// Exit codes: 0 done, 1 a call or the output failed, 2 bad usage (no library call made), 3 no usable
// device library.
#include <cerrno>
#include <fcntl.h>

#include "CommandLine.h"
#include "DioCommands.h"

namespace {

// A standard descriptor the caller closed is taken by /dev/null, read-only, before anything else can be
// opened there: else the library's or a recording's file would receive what is meant for stdout, and
// with this a write to it fails as a closed one would.
void holdClosedStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor)
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDONLY); // takes the lowest free descriptor: this one
}

} // namespace

int main(int argc, char *argv[]) {
    holdClosedStandardDescriptors();
    cli::Console console("dio");
    CLI::App app("The operations of a USB digital I/O device, for scripted bench checks.", "dio");
    dio::Invocation invocation;
    dio::defineCommandLine(app, invocation);
    if (const auto exit = cli::parseCommandLine(app, cli::argumentsOf(app, argc, argv), console))
        return *exit;
    return console.finish(dio::run(invocation, console));
}
