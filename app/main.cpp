// Start-up: the device library, the application object, the one window, the message loop. Once the
// window is up the exit code is always 0. The launcher normally chose and checked the library already and
// names it in KAVREN_LIBRARY; started directly, the panel applies the same rule itself.

#include <exception>
#include <memory>
#include <string>

#include <QApplication>
#include <QMessageBox>

#include "Console.h"
#include "LibraryLoader.h"
#include "StartupProblems.h"
#include "Unit1.h"

namespace {

// The application's exception display: on stderr always, and in a dialog once there is an application.
void ShowException(const std::exception &error) {
    cli::Console("diopanel").error(error.what());
    if (QApplication::instance() != nullptr)
        QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(error.what()));
}

} // namespace

int main(int argc, char *argv[]) {
    startup::escapeQtMessages();
    std::string problem;
    const bool loaded = device::loadDeviceLibrary({}, problem);
    if (const int refused = startup::refusalToStart(loaded, problem, argc, argv); refused != 0)
        return refused;
    // A poll repaints a few small lamps. Through X shared memory a repaint must first wait for the server
    // to have read the last one (a round trip, two more wake-ups); sending the few pixels costs less.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    std::unique_ptr<QApplication> application;
    std::unique_ptr<TForm1> form;
    try {
        application = std::make_unique<QApplication>(argc, argv);
        form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->show();
        QApplication::exec();
    } catch (const std::exception &error) {
        ShowException(error);
    }
    Form1 = nullptr;
    form.reset();
    return 0;
}
