#include "LibraryOptions.h"

namespace cli {

void addLibraryOptions(CLI::App &app, device::LibraryRequest &request) {
    app.add_option_function<std::string>(
           "--library", [&request](const std::string &path) { request.library = path; },
           "use this device library file")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); // the last one given, as the launcher does
    app.add_flag("--simulator", request.simulator, "use the bundled simulated device library");
    app.parse_complete_callback([&request] {
        if (const std::string problem = device::requestProblem(request); !problem.empty())
            throw CLI::ValidationError(problem);
    });
}

std::optional<Exit> loadLibrary(const device::LibraryRequest &request, bool version,
                                const std::string &programVersion, Console &console) {
    std::string problem;
    const bool loaded = device::loadDeviceLibrary(request, problem);
    if (version)
        console.print(programVersion + "\n");
    if (!loaded) {
        console.error(problem);
        console.note(device::howToProvideDeviceLibrary());
        return Exit::NoLibrary;
    }
    if (!version)
        return std::nullopt;
    console.print("device library: " + oneLine(device::loadedLibraryPath()) + "\n");
    return Exit::Done;
}

} // namespace cli
