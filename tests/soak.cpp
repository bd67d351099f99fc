// An hour of 100 ms polling run as fast as it goes: the tick handler called directly, every 50th
// transaction failing at a random step. After each tick no open may be left unclosed, the status line
// must say what happened and the lamps must show what was read; at the end resident memory must be
// where it was after the first 1,000 ticks.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include <QApplication>
#include <QWindow>

#include "PanelFixture.h"
#include "StatusOracle.h"

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true; // its quarantine holds freed memory, so RSS says nothing
#else
constexpr bool UnderAddressSanitizer = false;
#endif

namespace {

constexpr int FailureEvery = 50;
constexpr long AllowedGrowth = 1024 * 1024;

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * 4096;
}

enum class Step { Open, FirstRead, SecondRead, Close };

// Fails the chosen step of the next transaction, with or without a message.
fake::ReplySource failingAt(Step step, bool withMessage) {
    return [step, withMessage, reads = 0](fake::Op op) mutable -> std::optional<fake::Reply> {
        fake::Reply failure;
        failure.status = 13;
        if (withMessage)
            failure.message = fake::cstr("Injected failure");
        const bool fails = (op == fake::Op::OpenDevice && step == Step::Open) ||
                           (op == fake::Op::CloseDevice && step == Step::Close) ||
                           (op == fake::Op::ReadPort && ++reads == (step == Step::FirstRead ? 1 : 2) &&
                            (step == Step::FirstRead || step == Step::SecondRead));
        return fails ? std::optional(failure) : std::nullopt;
    };
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 36000;
    Panel panel;
    panel->show();
    for (int wait = 0; wait < 200 && !panel->windowHandle()->isExposed(); ++wait)
        QApplication::processEvents(QEventLoop::AllEvents, 10); // so that each tick's repaint paints
    panel->Button1Click();
    int shown0 = panel.lampValue(0x00);
    int shown1 = panel.lampValue(0x01);
    std::mt19937 random(20261208);
    int injected = 0;
    int faults = 0;
    long residentAfterWarmUp = 0;

    for (int tick = 1; tick <= ticks; ++tick) {
        fake::clearCalls();
        const auto port0 = static_cast<std::uint8_t>(tick);
        const auto port1 = static_cast<std::uint8_t>(tick * 7 + 3);
        fake::setPortValue("A1", 0x00, port0);
        fake::setPortValue("A1", 0x01, port1);
        const bool inject = tick % FailureEvery == 0;
        const auto step = static_cast<Step>(random() % 4);
        fake::setReplySource(inject ? failingAt(step, random() % 2 == 0) : fake::ReplySource());
        injected += inject ? 1 : 0;

        panel->Timer1Timer();

        const std::string violation = fake::openCloseViolation();
        const std::optional<QString> expected = fake::expectedStatusOfLastTransaction();
        // a port's lamps change exactly when its read succeeded
        if (!inject || step == Step::SecondRead || step == Step::Close)
            shown0 = port0;
        if (!inject || step == Step::Close)
            shown1 = port1;
        const bool lampsTrue = panel.lampValue(0x00) == shown0 && panel.lampValue(0x01) == shown1;
        if (!violation.empty() || !expected || panel.status() != *expected || !lampsTrue) {
            if (++faults <= 5)
                std::fprintf(stderr, "tick %d: status \"%s\", expected \"%s\"; lamps %s; %s\n", tick,
                             qPrintable(panel.status()), expected ? qPrintable(*expected) : "(none)",
                             lampsTrue ? "true" : "wrong", violation.c_str());
        }
        if (tick == 1000)
            residentAfterWarmUp = residentBytes();
    }

    const long residentAtEnd = residentBytes();
    std::printf("soak: %d ticks, %d failures injected, %d faults found\n", ticks, injected, faults);
    std::printf("soak: resident %.2f MiB after 1,000 ticks, %.2f MiB at the end (%+ld bytes)\n",
                residentAfterWarmUp / 1048576.0, residentAtEnd / 1048576.0,
                residentAtEnd - residentAfterWarmUp);
    bool memoryFlat = residentAtEnd - residentAfterWarmUp <= AllowedGrowth;
    if (UnderAddressSanitizer) {
        std::printf("soak: resident size not judged under AddressSanitizer; LeakSanitizer judges leaks\n");
        memoryFlat = true;
    }
    if (!memoryFlat)
        std::fprintf(stderr, "soak: resident memory grew by more than 1 MiB\n");
    return faults == 0 && memoryFlat ? 0 : 1;
}
