// What one 100 ms poll costs on the simulated device: the window shown offscreen, a discovery, then the
// tick handler called back to back (open, two reads, paint, close) and the repaint it causes. Measured
// three times: with inputs that stay put, with one input lamp changing on every tick and with all sixteen
// changing (the loopback device's outputs are rewritten between ticks, untimed); then the same ticks each
// after 100 ms of sleep, as the timer runs them, when the caches have gone cold. Besides the time, the
// paint events each tick causes: a steady tick should paint nothing, a changed bit its one lamp. The
// budget is the 100 ms interval itself.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QWindow>

#include "PrivateSimulatorState.h"
#include "Unit1.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts the paint events the application delivers, by the class of the widget that receives them.
class PaintCounter final : public QObject {
public:
    std::map<std::string, long> byClass;
    long total() const {
        long sum = 0;
        for (const auto &entry : byClass)
            sum += entry.second;
        return sum;
    }

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            ++byClass[receiver->metaObject()->className()];
        return false;
    }
};

void writeOutputs(std::uint8_t port10, std::uint8_t port11) {
    DeviceHandle handle = 0;
    char message[KAVREN_MESSAGE_SIZE] = {};
    if (OpenDevice("DIO-SIM-0001", &handle) == 0) {
        WritePort(handle, 0x10, port10, message);
        WritePort(handle, 0x11, port11, message);
    }
    CloseDevice(handle);
}

void printPaints(const PaintCounter &paints, int ticks) {
    std::printf("  %-26s paint events per tick %.2f", "", static_cast<double>(paints.total()) / ticks);
    const char *separator = " (";
    for (const auto &[className, count] : paints.byClass) {
        std::printf("%s%s %.2f", separator, className.c_str(), static_cast<double>(count) / ticks);
        separator = ", ";
    }
    std::printf("%s\n", paints.byClass.empty() ? "" : ")");
}

// Each tick is timed right after `idle` of sleep, as the panel's timer runs it, or back to back when zero.
template <typename BeforeTick>
void measure(TForm1 &form, int ticks, const char *name, BeforeTick beforeTick,
             std::chrono::milliseconds idle = std::chrono::milliseconds(0)) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(ticks));
    PaintCounter paints;
    beforeTick(1); // untimed: the lamps show what tick 1 would leave, so tick 0 changes what it should
    QApplication::processEvents();
    form.Timer1Timer();
    QApplication::processEvents();
    for (int tick = 0; tick < ticks; ++tick) {
        beforeTick(tick);
        QApplication::processEvents(); // what the rewrite itself caused is not the tick's
        std::this_thread::sleep_for(idle);
        qApp->installEventFilter(&paints);
        const auto start = Clock::now();
        form.Timer1Timer();
        QApplication::processEvents(); // the lamps' repaint, as the event loop does between ticks
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        qApp->removeEventFilter(&paints);
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double share) {
        return micros[static_cast<std::size_t>(share * (micros.size() - 1))];
    };
    double total = 0;
    for (const double value : micros)
        total += value;
    std::printf("  %-26s mean %7.1f us, median %7.1f us, p99 %7.1f us, max %7.1f us\n", name, total / ticks,
                at(0.5), at(0.99), micros.back());
    printPaints(paints, ticks);
}

} // namespace

int main(int argc, char *argv[]) {
    const PrivateSimulatorState state;
    QApplication application(argc, argv);
    const int ticks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    TForm1 form;
    form.Timer1->stop();
    form.show();
    for (int wait = 0; wait < 200 && !form.windowHandle()->isExposed(); ++wait)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    form.Button1Click(); // selects the loopback device
    QApplication::processEvents();

    std::printf("poll cycle on the simulator, %d ticks each:\n", ticks);
    measure(form, ticks, "inputs unchanged", [](int) {});
    measure(form, ticks, "one input lamp changes", [](int tick) { writeOutputs(tick % 2, 0x00); });
    const auto allChange = [](int tick) {
        const std::uint8_t value = tick % 2 ? 0xFF : 0x00;
        writeOutputs(value, value);
    };
    measure(form, ticks, "all 16 input lamps change", allChange);

    // What the real panel pays: its caches have gone cold over the 100 ms since its last tick.
    const int coldTicks = std::max(1, std::min(ticks, 50));
    std::printf("after 100 ms idle (caches cold), %d ticks each:\n", coldTicks);
    const auto idle = std::chrono::milliseconds(100);
    measure(
        form, coldTicks, "inputs unchanged", [](int) {}, idle);
    measure(
        form, coldTicks, "one input lamp changes", [](int tick) { writeOutputs(tick % 2, 0x00); }, idle);
    measure(form, coldTicks, "all 16 input lamps change", allChange, idle);
    return 0;
}
