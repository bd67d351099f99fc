#include "LibraryLoader.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <clocale>

#include <dlfcn.h>
#include <link.h>
#include <locale.h>

#include "LoadedOperations.h"

namespace device {
namespace {

LibraryNaming &naming() {
    static LibraryNaming chosen;
    return chosen;
}

namespace fs = std::filesystem;

using LibraryHandle = std::unique_ptr<void, int (*)(void *)>;

struct LoadedLibrary {
    bool loaded = false;
    std::string path;
    LibrarySource source = LibrarySource::Bundled;
};

LoadedLibrary &current() {
    static LoadedLibrary library;
    return library;
}

std::string subject(const std::string &path, LibrarySource source) {
    return "The device library " + path + " (" + sourceDescription(source) + ")";
}

template <typename Function>
void bind(void *library, const char *name, Function &slot, std::string &missing) {
    slot = reinterpret_cast<Function>(dlsym(library, name));
    if (slot == nullptr)
        missing += (missing.empty() ? "" : ", ") + std::string(name);
}

// The names of the operations the library lacks, in the interface's order; empty when it has all six.
std::string bindOperations(void *library, detail::Operations &operations) {
    std::string missing;
    bind(library, "ListDevices", operations.listDevices, missing);
    bind(library, "OpenDevice", operations.openDevice, missing);
    bind(library, "CloseDevice", operations.closeDevice, missing);
    bind(library, "GetSWVersion", operations.getSWVersion, missing);
    bind(library, "ReadPort", operations.readPort, missing);
    bind(library, "WritePort", operations.writePort, missing);
    return missing;
}

// Keeps an opened library for the rest of the program when it offers all six operations.
bool adopt(LibraryHandle library, const std::string &path, LibrarySource source, std::string &problem) {
    detail::Operations operations;
    if (const std::string missing = bindOperations(library.get(), operations); !missing.empty()) {
        problem = subject(path, source) + " does not provide " + missing + ".";
        return false;
    }
    detail::loadedOperations = operations;
    current() = {true, path, source};
    library.release(); // the forwarders use it until the program ends
    return true;
}

std::string dlopenError() {
    const char *error = dlerror();
    return error != nullptr ? error : "unknown error";
}

// Whether the file is something other than a regular file, which the loader would open and wait on for
// good (a FIFO without writer, a terminal) or refuse anyway; says so after `subject`.
bool notRegular(const fs::path &path, std::string &problem, const std::string &subject) {
    std::error_code error;
    if (fs::is_regular_file(path, error) || !fs::exists(path, error))
        return false;
    problem = subject + " is not a regular file.";
    return true;
}

// A named file: by its path alone, never searched for, so "libkavren.so.1" means the one in the current
// directory.
bool openFile(const std::string &file, LibrarySource source, std::string &problem) {
    std::error_code error;
    fs::path path = fs::absolute(file, error);
    if (error)
        path = file;
    path = path.lexically_normal();
    if (!fs::exists(path, error)) {
        problem = subject(path.string(), source) + " does not exist.";
        return false;
    }
    if (notRegular(path, problem, subject(path.string(), source)))
        return false;
    LibraryHandle library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose);
    if (!library) {
        problem = subject(path.string(), source) + " cannot be loaded: " + dlopenError();
        return false;
    }
    return adopt(std::move(library), path.string(), source, problem);
}

enum class Search { Loaded, NotFound, Failed };

// The absolute path of the file the loader picked for an opened library.
std::string openedPath(void *library) {
    link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return DeviceLibraryName;
    std::error_code error;
    const fs::path path = fs::absolute(map->l_name, error);
    return (error ? fs::path(map->l_name) : path).lexically_normal().string();
}

// The loader's messages in English whatever the program's locale, since one of them is recognised.
class UntranslatedMessages {
public:
    UntranslatedMessages() : c_(newlocale(LC_ALL_MASK, "C", locale_t{})) {
        if (c_ != locale_t{})
            previous_ = uselocale(c_);
    }
    ~UntranslatedMessages() {
        if (c_ == locale_t{})
            return;
        uselocale(previous_);
        freelocale(c_);
    }
    UntranslatedMessages(const UntranslatedMessages &) = delete;
    UntranslatedMessages &operator=(const UntranslatedMessages &) = delete;

private:
    locale_t c_;
    locale_t previous_{};
};

// The first libkavren.so.1 on LD_LIBRARY_PATH, split as the loader splits it: the file the loader opens
// first when it searches by name.
std::optional<fs::path> firstOnSearchPath() {
    const char *searchPath = std::getenv("LD_LIBRARY_PATH");
    if (searchPath == nullptr || *searchPath == '\0')
        return std::nullopt;
    const std::string_view entries = searchPath;
    for (std::size_t start = 0; start <= entries.size();) {
        const std::size_t end = std::min(entries.find_first_of(":;", start), entries.size());
        const fs::path directory =
            end == start ? fs::path(".") : fs::path(entries.substr(start, end - start));
        std::error_code error;
        if (fs::exists(directory / DeviceLibraryName, error))
            return fs::absolute(directory / DeviceLibraryName, error).lexically_normal();
        start = end + 1;
    }
    return std::nullopt;
}

// For messages: the first libkavren.so.1 on LD_LIBRARY_PATH, or where the loader looks next.
std::string candidateOnSearchPath() {
    const auto candidate = firstOnSearchPath();
    return candidate ? candidate->string() + " on LD_LIBRARY_PATH" : "in the system's library directories";
}

// Lets the system's loader search by name, so LD_LIBRARY_PATH (unset or empty adds nothing, an empty
// entry in a list is the current directory), the cache and the default directories are searched exactly
// as for any library. The calling program carries no RUNPATH, so nothing of ours is searched. Only "cannot
// open shared object file" under the bare name means no candidate was found; any other error (too short,
// not ELF, a missing dependency, wrong class) is about a file the loader did find, and is reported.
Search openByName(std::string &problem) {
    if (const auto candidate = firstOnSearchPath();
        candidate &&
        notRegular(*candidate, problem,
                   std::string("The device library ") + DeviceLibraryName +
                       " that the system's loader finds (" + candidate->string() + " on LD_LIBRARY_PATH)"))
        return Search::Failed;
    std::string error;
    LibraryHandle library(nullptr, dlclose);
    {
        const UntranslatedMessages english;
        library.reset(dlopen(DeviceLibraryName, RTLD_NOW | RTLD_LOCAL));
        if (!library)
            error = dlopenError();
    }
    if (!library) {
        if (error.starts_with(std::string(DeviceLibraryName) + ": cannot open shared object file"))
            return Search::NotFound;
        problem = std::string("The device library ") + DeviceLibraryName +
                  " that the system's loader finds (" + candidateOnSearchPath() +
                  ") cannot be loaded: " + error;
        return Search::Failed;
    }
    const std::string path = openedPath(library.get());
    return adopt(std::move(library), path, LibrarySource::LoaderPath, problem) ? Search::Loaded
                                                                               : Search::Failed;
}

bool openBundled(std::string &problem) {
    const std::string path = bundledLibraryPath();
    if (path.empty()) {
        problem = std::string("No device library ") + DeviceLibraryName +
                  " was found, and this program has no bundled simulator beside it.";
        return false;
    }
    return openFile(path, LibrarySource::Bundled, problem);
}

// The last place of the rule: says that nothing was found before it when the simulator is missing too.
bool openBundledAfterSearch(std::string &problem) {
    std::error_code error;
    if (const std::string path = bundledLibraryPath(); !path.empty() && !fs::exists(path, error)) {
        problem = std::string("No device library ") + DeviceLibraryName + " was found: none is named with " +
                  naming().library + " or in " + LibraryVariable +
                  ", the system's loader finds none, and the bundled simulator " + path + " does not exist.";
        return false;
    }
    return openBundled(problem);
}

// The install prefix when `directory` ends with `tail` (such as "bin"), else nothing.
std::optional<fs::path> prefixBefore(fs::path directory, const fs::path &tail) {
    const std::vector<fs::path> names(tail.begin(), tail.end());
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (directory.filename() != *name)
            return std::nullopt;
        directory = directory.parent_path();
    }
    return directory;
}

struct LoaderFile {
    fs::path path; // empty when unknown
    bool inProgram = true;
};

// The file that holds this code: the program itself for the programs, the Python module for Python. Both
// sit in an installed layout, so the bundled simulator is found relative to either.
LoaderFile loaderFile() {
    Dl_info info{};
    link_map *map = nullptr;
    std::error_code error;
    if (dladdr1(reinterpret_cast<void *>(&bundledLibraryPath), &info, reinterpret_cast<void **>(&map),
                RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && *map->l_name != '\0') {
        const fs::path module = fs::canonical(map->l_name, error);
        return {error ? fs::path() : module, false};
    }
    // The program's own map has no name; the kernel knows its file.
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return {error ? fs::path() : program, true};
}

} // namespace

void setLibraryNaming(const LibraryNaming &chosen) {
    naming() = chosen;
}

std::string requestProblem(const LibraryRequest &request) {
    if (request.library && request.library->empty())
        return "--library needs a path";
    if (request.simulator && request.library)
        return "--library and --simulator cannot be used together";
    return {};
}

bool loadDeviceLibrary(const LibraryRequest &request, std::string &problem) {
    if (current().loaded) {
        problem = "The device library " + current().path + " is loaded already.";
        return false;
    }
    if (problem = requestProblem(request); !problem.empty())
        return false;
    if (request.simulator)
        return openBundled(problem);
    if (request.library)
        return openFile(*request.library, LibrarySource::Option, problem);
    if (const char *named = secure_getenv(LibraryVariable); named != nullptr && *named != '\0')
        return openFile(named, LibrarySource::Environment, problem);
    switch (openByName(problem)) {
    case Search::Loaded:
        return true;
    case Search::Failed:
        return false;
    case Search::NotFound:
        break;
    }
    return openBundledAfterSearch(problem);
}

const std::string &loadedLibraryPath() {
    return current().path;
}

LibrarySource loadedLibrarySource() {
    return current().source;
}

std::string sourceDescription(LibrarySource source) {
    switch (source) {
    case LibrarySource::Option:
        return std::string("named with ") + naming().library;
    case LibrarySource::Environment:
        return std::string("named in ") + LibraryVariable;
    case LibrarySource::LoaderPath:
        return "found by the system's loader";
    case LibrarySource::Bundled:
        return "the bundled simulator";
    }
    return {};
}

std::string bundledLibraryPath() {
    const auto [file, inProgram] = loaderFile();
    if (file.empty())
        return {};
    const auto installedIn = inProgram ? std::vector<const char *>{DIOPANEL_BINDIR, DIOPANEL_PANEL_DIR}
                                       : std::vector<const char *>{DIOPANEL_PYTHON_DIR};
    for (const char *directory : installedIn)
        if (const auto prefix = prefixBefore(file.parent_path(), directory))
            return (*prefix / DIOPANEL_PRIVATE_LIBDIR / DeviceLibraryName).string();
    return {};
}

std::string libraryRuleText() {
    return std::string("The device library is, in this order: the file named with --library PATH or in ") +
           LibraryVariable + "=PATH (--library wins); a " + DeviceLibraryName +
           " that the system's loader finds on LD_LIBRARY_PATH or in the system's library directories (a "
           "vendor's package); the bundled simulator. --simulator forces the bundled simulator.";
}

std::string howToProvideDeviceLibrary() {
    const std::string bundled = bundledLibraryPath();
    return std::string("Name the vendor's ") + DeviceLibraryName + " with " + naming().libraryPath + " or " +
           LibraryVariable +
           "=PATH, install the vendor's package so that the system's loader finds it, "
           "or put its directory on LD_LIBRARY_PATH. " +
           (bundled.empty() ? std::string("The simulated device library belongs beside the program")
                            : "The simulated device library belongs at " + bundled) +
           " (" + naming().simulator + " chooses it).";
}

} // namespace device
