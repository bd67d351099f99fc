#include "LibraryChoice.h"

#include <system_error>

#include <pybind11/pybind11.h>

#include "LibraryLoader.h"
#include "PythonErrors.h"

namespace py = pybind11;

namespace pydio {

namespace {

// Read and changed with the GIL held only, so calls from several threads see one choice.
device::LibraryRequest request;

bool loaded() {
    return !device::loadedLibraryPath().empty();
}

[[noreturn]] void refuseChange() {
    throw std::runtime_error("The device library " + device::loadedLibraryPath() +
                             " is in use already; use_library() and use_simulator() must come before "
                             "the first call that uses the device library.");
}

} // namespace

void nameLibrariesAsPython() {
    device::setLibraryNaming({"use_library()", "use_library(PATH)", "use_simulator()"});
}

void useLibrary(const std::filesystem::path &path) {
    if (path.empty())
        throw py::value_error("use_library() needs the path of a device library");
    if (!loaded()) {
        request = {path.string(), false};
        ensureLoaded();
        return;
    }
    std::error_code error;
    if (std::filesystem::absolute(path, error).lexically_normal() != device::loadedLibraryPath())
        refuseChange();
}

void useSimulator() {
    if (!loaded()) {
        request = {{}, true};
        ensureLoaded();
    } else if (device::loadedLibrarySource() != device::LibrarySource::Bundled)
        refuseChange();
}

void ensureLoaded() {
    if (loaded())
        return;
    std::string problem;
    if (!device::loadDeviceLibrary(request, problem))
        throw LibraryFailure(problem + "\n" + device::howToProvideDeviceLibrary());
}

std::string libraryPath() {
    ensureLoaded();
    return device::loadedLibraryPath();
}

} // namespace pydio
