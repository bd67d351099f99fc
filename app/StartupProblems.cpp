#include "StartupProblems.h"

#include <cstdio>

#include <QApplication>
#include <QMessageBox>

namespace startup {

bool hasDisplay() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland");
}

std::string noDisplayText() {
    return "There is no display to show the panel on: neither DISPLAY nor WAYLAND_DISPLAY is set. To run it "
           "without a screen, start it in a virtual X display: xvfb-run -a diopanel";
}

void reportProblem(const std::string &text, int &argc, char **argv) {
    std::fprintf(stderr, "diopanel: %s\n", text.c_str());
    if (!hasDisplay())
        return;
    QApplication application(argc, argv);
    QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(text.c_str()));
}

} // namespace startup
