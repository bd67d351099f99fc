// The command the operator starts. It makes sure the device library loads and offers all six operations,
// then becomes the panel (exec, same process). Without it, the panel would end before its first line with
// the loader's terse message on a terminal, and with nothing at all when started from a desktop.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>

namespace {

constexpr const char *LibraryName = "libkavren.so.1";
constexpr const char *Operations[] = {"ListDevices",  "OpenDevice", "CloseDevice",
                                      "GetSWVersion", "ReadPort",   "WritePort"};

std::filesystem::path installDirectory() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path();
}

// Where the panel's RUNPATH looks: lib/ beside bin/ and libexec/.
std::filesystem::path libraryBeside() {
    return installDirectory() / "lib" / LibraryName;
}

// The library the panel's loader will bind, searched in the loader's order: LD_LIBRARY_PATH, then lib/
// beside this program (the panel's RUNPATH), then the system's paths. Searched here rather than left to
// dlopen, whose view of RUNPATH depends on which object calls it.
std::string libraryToLoad() {
    const QByteArray searchPath = qgetenv("LD_LIBRARY_PATH");
    for (const QByteArray &entry : searchPath.split(':')) {
        const std::filesystem::path candidate =
            std::filesystem::path(entry.isEmpty() ? "." : entry.toStdString()) / LibraryName;
        if (std::filesystem::exists(candidate))
            return candidate.string();
    }
    return std::filesystem::exists(libraryBeside()) ? libraryBeside().string() : LibraryName;
}

// Why the library cannot serve the panel, or an empty text when it can.
std::string libraryProblem() {
    void *library = dlopen(libraryToLoad().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return std::string("The device library ") + LibraryName + " cannot be loaded: " + dlerror();
    std::string missing;
    for (const char *operation : Operations)
        if (dlsym(library, operation) == nullptr)
            missing += (missing.empty() ? "" : ", ") + std::string(operation);
    dlclose(library);
    if (missing.empty())
        return {};
    return std::string("The device library ") + LibraryName + " does not provide " + missing + ".";
}

std::string howToProvide() {
    return "Put the device library at " + libraryBeside().string() +
           " (the simulated library built with the panel belongs there), or start the panel with "
           "LD_LIBRARY_PATH set to the directory that holds the vendor's " +
           LibraryName + ".";
}

// On stderr always; in a dialog too when there is a display, since a desktop launch shows no terminal.
void report(const std::string &text, int &argc, char **argv) {
    std::fprintf(stderr, "diopanel: %s\n", text.c_str());
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return;
    QApplication application(argc, argv);
    QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(text.c_str()));
}

} // namespace

int main(int argc, char *argv[]) {
    if (const std::string problem = libraryProblem(); !problem.empty()) {
        report(problem + "\n\n" + howToProvide(), argc, argv);
        return 2;
    }
    const std::string panel = (installDirectory() / "libexec" / "diopanel").string();
    argv[0] = const_cast<char *>(panel.c_str());
    execv(panel.c_str(), argv);
    report("The panel " + panel + " cannot be started: " + std::strerror(errno), argc, argv);
    return 126;
}
