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

// Each line escaped on its own, so that the text's own line breaks stay line breaks.
void writeLines(std::string_view prefix, std::string_view text) {
    for (std::size_t end = 0; end != std::string_view::npos; text.remove_prefix(end + 1)) {
        end = text.find('\n');
        std::fprintf(stderr, "%.*s%s\n", static_cast<int>(prefix.size()), prefix.data(),
                     cli::oneLine(text.substr(0, end)).c_str());
        prefix = {};
        if (end == std::string_view::npos)
            break;
    }
}

void writeEscaped(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    writeLines({}, qFormatLogMessage(type, context, message).toStdString());
}

} // namespace

void escapeQtMessages() {
    qInstallMessageHandler(writeEscaped);
}

void reportProblem(const std::string &text, int &argc, char **argv) {
    writeLines("diopanel: ", text);
    if (!hasDisplay())
        return;
    escapeQtMessages();
    QApplication application(argc, argv);
    QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(text.c_str()));
}

int refusalToStart(bool libraryLoaded, const std::string &libraryProblem, int &argc, char **argv) {
    if (!libraryLoaded) {
        // The problem names paths and the loader's words: a line break in them is escaped too.
        reportProblem(cli::oneLine(libraryProblem) + "\n\n" + device::howToProvideDeviceLibrary(), argc,
                      argv);
        return 2;
    }
    if (!hasDisplay()) {
        std::fprintf(stderr, "diopanel: %s\n", noDisplayText().c_str());
        return 1;
    }
    return 0;
}

} // namespace startup
