// The command the operator starts. It decides which device library the panel uses, makes sure that
// library loads and offers all six operations, then becomes the panel (exec, same process) with the
// decision in KAVREN_LIBRARY, so that the panel opens exactly the file checked here. Without it, a
// missing library or display would end the panel with a terse message, or with nothing at all when
// started from a desktop.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

#include "Console.h"
#include "LibraryLoader.h"
#include "StartupProblems.h"

namespace {

constexpr int BadUsage = 2;
constexpr int LibraryProblem = 2;
constexpr int PanelNotStarted = 126;

struct Options {
    device::LibraryRequest library;
    bool help = false;
    bool version = false;
};

std::string usageText() {
    return "Usage: diopanel [--library PATH | --simulator]\n"
           "       diopanel --help | --version\n";
}

std::string helpText() {
    return usageText() +
           "\nA bench panel for a USB digital input/output device.\n\n"
           "Options:\n"
           "  --library PATH  use the device library PATH\n"
           "  --simulator     use the bundled simulated device library\n"
           "  --help          show this help and exit\n"
           "  --version       show the version and the device library in use, and exit\n\n" +
           device::libraryRuleText() +
           "\n\nThe panel needs a display; without one, run it in a virtual X display: xvfb-run -a "
           "diopanel\n";
}

// False with the reason on bad usage. Options only: the panel takes no other arguments.
bool parseOptions(int argc, char **argv, Options &options, std::string &error) {
    constexpr std::string_view LibraryPrefix = "--library=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--simulator") {
            options.library.simulator = true;
        } else if (argument == "--library" || argument.starts_with(LibraryPrefix)) {
            const bool separate = argument == "--library";
            if (separate && i + 1 == argc) {
                error = "--library needs a path";
                return false;
            }
            options.library.library = separate ? argv[++i] : argument.substr(LibraryPrefix.size());
        } else {
            error = "unknown argument " + std::string(argument);
            return false;
        }
    }
    error = device::requestProblem(options.library);
    return error.empty();
}

int printVersion(bool loaded, const std::string &problem) {
    std::printf("diopanel %s\n", DIOPANEL_VERSION);
    if (loaded) {
        std::printf("Device library: %s (%s)\n", cli::oneLine(device::loadedLibraryPath()).c_str(),
                    device::sourceDescription(device::loadedLibrarySource()).c_str());
        return 0;
    }
    std::printf("Device library: none usable\n");
    cli::Console("diopanel").error(problem);
    return LibraryProblem;
}

std::string panelPath() {
    std::error_code error;
    const std::filesystem::path launcher = std::filesystem::read_symlink("/proc/self/exe", error);
    return (launcher.parent_path() / DIOPANEL_PANEL_FROM_LAUNCHER).lexically_normal().string();
}

} // namespace

int main(int argc, char *argv[]) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        cli::Console("diopanel").error(error);
        std::fprintf(stderr, "%s", usageText().c_str());
        return BadUsage;
    }
    if (options.help) {
        std::printf("%s", helpText().c_str());
        return 0;
    }
    std::string problem;
    const bool loaded = device::loadDeviceLibrary(options.library, problem);
    if (options.version)
        return printVersion(loaded, problem);
    if (const int refused = startup::refusalToStart(loaded, problem, argc, argv); refused != 0)
        return refused;
    setenv(device::LibraryVariable, device::loadedLibraryPath().c_str(), 1);
    const std::string panel = panelPath();
    char *panelArguments[] = {const_cast<char *>(panel.c_str()), nullptr};
    execv(panel.c_str(), panelArguments);
    startup::reportProblem("The panel " + cli::oneLine(panel) + " cannot be started: " + std::strerror(errno),
                           argc, argv);
    return PanelNotStarted;
}
