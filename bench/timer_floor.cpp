// The least a Qt program that wakes every 100 ms can cost: an empty window on the display and a timer
// whose tick does nothing. The display benchmark measures it as the floor under the panel's figures.
#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Qt timer floor"));
    window.resize(559, 370);
    window.show();
    QTimer timer;
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, &timer, [] {});
    timer.start();
    return QApplication::exec();
}
