// Start-up: the application object, the one window, the message loop. The exit code is always 0.

#include <cstdio>
#include <exception>
#include <memory>

#include <QApplication>
#include <QMessageBox>

#include "Unit1.h"

namespace {

// The application's exception display: on stderr always, and in a dialog once there is an application.
void ShowException(const std::exception &error) {
    std::fprintf(stderr, "diopanel: %s\n", error.what());
    if (QApplication::instance() != nullptr)
        QMessageBox::critical(nullptr, QStringLiteral("Test USB DIO"), QString::fromLocal8Bit(error.what()));
}

} // namespace

int main(int argc, char *argv[]) {
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
