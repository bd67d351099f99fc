#include "DioWatch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>

#include "DioFormat.h"
#include "DioTransactions.h"

namespace dio {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

// Without SA_RESTART, so that a signal cuts the wait between two polls short.
void stopOnSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void waitUntil(const timespec &deadline) {
    while (!stopRequested && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

timespec later(timespec time, int milliseconds) {
    time.tv_sec += milliseconds / 1000;
    time.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
    if (time.tv_nsec >= 1'000'000'000) {
        time.tv_sec += 1;
        time.tv_nsec -= 1'000'000'000;
    }
    return time;
}

} // namespace

int watchInputs(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options) {
    stopOnSignals();
    std::optional<PortValues> shown;
    int changeLines = 0;
    timespec nextPoll{};
    clock_gettime(CLOCK_MONOTONIC, &nextPoll);
    while (!stopRequested) {
        PortValues values;
        const auto failures = readPorts(serialNumber, {0x00, 0x01}, values);
        if (!failures.empty()) {
            for (const std::string &failure : failures)
                std::fprintf(stderr, "dio: %s\n", failure.c_str());
            return 1;
        }
        if (values != shown) {
            const std::string time = utcTimestamp(std::chrono::system_clock::now());
            const std::string line = options.json ? watchJson(time, values) : watchText(time, values);
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
            if (shown && ++changeLines == options.changeLines)
                return 0;
            shown = values;
        }
        // Polls keep their rhythm however long a poll took, and never bunch up after a slow one.
        nextPoll = later(nextPoll, options.intervalMs);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > nextPoll.tv_sec || (now.tv_sec == nextPoll.tv_sec && now.tv_nsec > nextPoll.tv_nsec))
            nextPoll = now;
        waitUntil(nextPoll);
    }
    return 0;
}

} // namespace dio
