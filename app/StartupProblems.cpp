#include "StartupProblems.h"

#include <cstdio>

#include <QApplication>
#include <QMessageBox>

#include "Console.h"
#include "LibraryLoader.h"

namespace startup {

namespace {

// A display server to show the window on, or a Qt platform that needs none (such as offscreen).
bool hasDisplay() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland");
}

// Why the panel cannot show its window and how to run it anyway.
std::string noDisplayText() {
    return "There is no display to show the panel on: neither DISPLAY nor WAYLAND_DISPLAY is set. To run it "
           "without a screen, start it in a virtual X display: xvfb-run -a diopanel";
}

} // namespace

void reportProblem(const std::string &text, int &argc, char **argv) {
    std::fprintf(stderr, "diopanel: %s\n", cli::oneLine(text).c_str()); // paths and loader errors escaped
    if (!hasDisplay())
        return;
    QApplication application(argc, argv);
    QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(text.c_str()));
}

int refusalToStart(bool libraryLoaded, const std::string &libraryProblem, int &argc, char **argv) {
    if (!libraryLoaded) {
        reportProblem(libraryProblem + "\n\n" + device::howToProvideDeviceLibrary(), argc, argv);
        return 2;
    }
    if (!hasDisplay()) {
        std::fprintf(stderr, "diopanel: %s\n", noDisplayText().c_str());
        return 1;
    }
    return 0;
}

} // namespace startup
