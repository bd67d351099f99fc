#include "StartupProblems.h"

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

// Each line escaped on its own, so that the text's own line breaks stay line breaks; the first after the
// program's name when `named`.
void writeLines(std::string_view text, bool named) {
    cli::Console console("diopanel");
    for (bool first = true;; first = false) {
        const std::size_t end = text.find('\n');
        if (first && named)
            console.error(text.substr(0, end));
        else
            console.note(text.substr(0, end));
        if (end == std::string_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

void writeEscaped(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    writeLines(qFormatLogMessage(type, context, message).toStdString(), false);
}

} // namespace

void escapeQtMessages() {
    qInstallMessageHandler(writeEscaped);
}

void reportProblem(const std::string &text, int &argc, char **argv) {
    writeLines(text, true);
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
        cli::Console("diopanel").error(noDisplayText());
        return 1;
    }
    return 0;
}

} // namespace startup
