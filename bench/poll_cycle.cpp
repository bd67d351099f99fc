// What one 100 ms poll costs on the simulated device: the window shown offscreen, a discovery, then the
// tick handler called back to back (open, two reads, paint, close) and the repaint it causes. Measured
// twice: with inputs that stay put, and with all sixteen input lamps changing on every tick (the loopback
// device's outputs are rewritten between ticks, untimed). The budget is the 100 ms interval itself.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QWindow>

#include "Unit1.h"

namespace {

using Clock = std::chrono::steady_clock;

void writeOutputs(std::uint8_t value) {
    DeviceHandle handle = 0;
    char message[KAVREN_MESSAGE_SIZE] = {};
    if (OpenDevice("DIO-SIM-0001", &handle) == 0) {
        WritePort(handle, 0x10, value, message);
        WritePort(handle, 0x11, value, message);
    }
    CloseDevice(handle);
}

template <typename BeforeTick>
void measure(TForm1 &form, int ticks, const char *name, BeforeTick beforeTick) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(ticks));
    for (int tick = 0; tick < ticks; ++tick) {
        beforeTick(tick);
        const auto start = Clock::now();
        form.Timer1Timer();
        QApplication::processEvents(); // the lamps' repaint, as the event loop does between ticks
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
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
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 20000;
    TForm1 form;
    form.Timer1->stop();
    form.show();
    for (int wait = 0; wait < 200 && !form.windowHandle()->isExposed(); ++wait)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    form.Button1Click(); // selects the loopback device

    std::printf("poll cycle on the simulator, %d ticks each:\n", ticks);
    measure(form, ticks, "inputs unchanged", [](int) {});
    measure(form, ticks, "all 16 input lamps change", [](int tick) { writeOutputs(tick % 2 ? 0xFF : 0x00); });
    return 0;
}
