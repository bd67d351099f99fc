#include "DioWatch.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>

#include "DioFormat.h"
#include "DioTransactions.h"

namespace dio {

namespace {

sigset_t stopSignals() {
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    return stopSet;
}

bool before(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

timespec later(timespec time, long milliseconds) {
    time.tv_sec += milliseconds / 1000;
    time.tv_nsec += (milliseconds % 1000) * 1'000'000;
    if (time.tv_nsec >= 1'000'000'000) {
        time.tv_sec += 1;
        time.tv_nsec -= 1'000'000'000;
    }
    return time;
}

timespec now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

// Waits until the deadline; true when a stop signal came (before or during the wait).
bool stopRequestedBy(const timespec &deadline) {
    const sigset_t stopSet = stopSignals();
    for (;;) {
        const timespec start = now();
        timespec left{};
        if (before(start, deadline)) {
            left.tv_sec = deadline.tv_sec - start.tv_sec;
            left.tv_nsec = deadline.tv_nsec - start.tv_nsec;
            if (left.tv_nsec < 0) {
                left.tv_sec -= 1;
                left.tv_nsec += 1'000'000'000;
            }
        }
        if (sigtimedwait(&stopSet, nullptr, &left) > 0)
            return true;
        if (errno != EINTR)
            return false; // EAGAIN: the deadline passed
    }
}

} // namespace

void blockStopSignals() {
    const sigset_t stopSet = stopSignals();
    sigprocmask(SIG_BLOCK, &stopSet, nullptr);
}

cli::Exit watchInputs(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options,
                      cli::Console &console) {
    std::optional<PortValues> shown;
    int changeLines = 0;
    timespec nextPoll = now();
    do {
        PortValues values;
        const auto failures = readPorts(serialNumber, {0x00, 0x01}, values);
        for (const std::string &failure : failures)
            console.error(failure);
        if (!failures.empty())
            return cli::Exit::Failed;
        if (values != shown) {
            const std::string time = utcTimestamp(std::chrono::system_clock::now());
            console.print(options.json ? watchJson(time, values) : watchText(time, values));
            if (console.outputLost() || (shown && ++changeLines == options.changeLines))
                return cli::Exit::Done; // the console tells of lost output
            shown = values;
        }
        // Polls keep their rhythm however long a poll took, and never bunch up after a slow one.
        nextPoll = later(nextPoll, options.intervalMs);
        if (const timespec current = now(); before(nextPoll, current))
            nextPoll = current;
    } while (!stopRequestedBy(nextPoll));
    return cli::Exit::Done;
}

} // namespace dio
