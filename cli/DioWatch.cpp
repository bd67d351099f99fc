#include "DioWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "DioOutput.h"
#include "DioStop.h"
#include "TextRules.h"

namespace dio {

namespace {

using Nanos = std::int64_t;
constexpr Nanos NanosPerMs = 1'000'000;

Nanos now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return Nanos{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

// Waits on a timerfd for an absolute deadline, or until the first stop signal, whichever comes first.
class Ticker {
public:
    Ticker() : timer_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}
    ~Ticker() {
        if (timer_ >= 0)
            ::close(timer_);
    }
    Ticker(const Ticker &) = delete;
    Ticker &operator=(const Ticker &) = delete;
    bool valid() const { return timer_ >= 0; }

    // True when the deadline came, false on a stop signal.
    bool waitUntil(Nanos deadline) {
        itimerspec due{};
        due.it_value = {static_cast<time_t>(deadline / 1'000'000'000),
                        static_cast<long>(deadline % 1'000'000'000)};
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0)
            due.it_value.tv_nsec = 1; // zero would disarm the timer
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &due, nullptr);
        pollfd waits[] = {{stopDescriptor(), POLLIN, 0}, {timer_, POLLIN, 0}};
        while (!stopRequested()) {
            if (::poll(waits, 2, -1) < 0 && errno != EINTR)
                return now() >= deadline; // no wait possible: a late tick rather than a busy loop
            if (waits[1].revents & POLLIN) {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t ignored = ::read(timer_, &expirations, sizeof expirations);
                return !stopRequested();
            }
        }
        return false;
    }

private:
    int timer_;
};

struct TickStats {
    std::int64_t ticks = 0, late = 0;
    Nanos largestLateness = 0;
};

std::string statsText(const TickStats &stats, Nanos elapsed, int intervalMs) {
    const double seconds = static_cast<double>(std::max<Nanos>(elapsed, 1)) / 1e9;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%lld ticks, %lld late (%.2f%%), largest lateness %.3f ms, %.1f ticks/s of %.1f asked",
                  static_cast<long long>(stats.ticks), static_cast<long long>(stats.late),
                  stats.ticks > 0 ? 100.0 * static_cast<double>(stats.late) / static_cast<double>(stats.ticks)
                                  : 0.0,
                  static_cast<double>(stats.largestLateness) / 1e6,
                  static_cast<double>(stats.ticks) / seconds, 1000.0 / intervalMs);
    return text;
}

// The next deadline on the grid after a tick that was due at `due` and started at `started`: the next
// one, or, when the tick overran it, the first still ahead.
Nanos nextDeadline(Nanos due, Nanos started, Nanos interval) {
    const Nanos next = due + interval;
    return next > started ? next : due + interval * ((started - due) / interval + 1);
}

class Recordings {
public:
    Recordings(const WatchOptions &options, const device::SerialNumberBuffer &serialNumber)
        : options_(options), serialNumber_(device::boundedText(serialNumber)) {}

    bool open(cli::Console &console) {
        for (const Destination &destination : options_.destinations) {
            Output &output = outputs_.emplace_back();
            if (std::string problem; !destination.path.empty() && !output.open(destination.path, problem)) {
                console.error(problem);
                return false;
            }
        }
        for (std::size_t i = 0; i < outputs_.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (outputs_[i].sameFileAs(outputs_[j])) { // their lines would interleave
                    const std::string first = outputs_[j].name(), second = outputs_[i].name();
                    console.error("cannot write " + (first == second
                                                         ? first + ": it is given twice"
                                                         : first + " and " + second + ": they are one file"));
                    return false;
                }
        for (Output &output : outputs_)
            if (std::string problem; !output.empty(problem)) {
                console.error(problem);
                return false;
            }
        return true;
    }

    void record(const Reading &reading) {
        if (!last_) {
            const RecordingHead head{serialNumber_, reading.wallClock, options_.comment};
            write([&](Format format) { return recordingStart(format, head, reading); });
        } else if (reading.values != last_->values) {
            write([&](Format format) { return recordingChange(format, *last_, reading); });
            ++changes_;
        } else {
            return;
        }
        last_ = reading;
    }

    void end(std::int64_t endMicros) {
        if (last_) {
            write([&](Format format) { return recordingEnd(format, *last_, endMicros); });
        } else {
            const RecordingHead head{serialNumber_, std::chrono::system_clock::now(), options_.comment};
            write([&](Format format) { return recordingWithoutReadings(format, head, options_.ports); });
        }
        for (Output &output : outputs_)
            output.close();
    }

    bool countReached() const { return options_.changeLines > 0 && changes_ >= options_.changeLines; }
    bool started() const { return last_.has_value(); }

    // Says which outputs failed; true when any did.
    bool reportFailures(cli::Console &console) const {
        bool any = false;
        for (const Output &output : outputs_)
            if (output.failed()) {
                console.error(output.failure());
                any = true;
            }
        return any;
    }
    bool anyFailed() const {
        return std::any_of(outputs_.begin(), outputs_.end(), [](const Output &o) { return o.failed(); });
    }

private:
    template <typename Text> void write(Text text) {
        for (std::size_t i = 0; i < outputs_.size(); ++i)
            outputs_[i].write(text(options_.destinations[i].format));
    }

    const WatchOptions &options_;
    std::string serialNumber_;
    std::vector<Output> outputs_;
    std::optional<Reading> last_;
    int changes_ = 0;
};

} // namespace

cli::Exit watchPorts(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options,
                     cli::Console &console) {
    Recordings recordings(options, serialNumber);
    if (!recordings.open(console))
        return cli::Exit::Failed;
    Ticker ticker;
    if (!ticker.valid() || !catchStopSignals()) {
        console.error(std::string("cannot wait for the ticks: ") + std::strerror(errno));
        return cli::Exit::Failed;
    }
    const Nanos interval = options.intervalMs * NanosPerMs;
    const Nanos start = now();
    Nanos end = INT64_MAX; // with --duration, that long after the first reading
    Nanos due = start, firstReading = 0;
    TickStats stats;
    bool failed = false;
    while (ticker.waitUntil(std::min(due, end)) && now() < end) {
        const Nanos started = now();
        const Nanos lateness = started - due;
        stats.ticks += 1;
        stats.late += lateness * 2 > interval ? 1 : 0;
        stats.largestLateness = std::max(stats.largestLateness, lateness);
        Reading reading;
        Nanos read = 0; // as the last read returned: a slow close does not shift the stamp
        const auto failures = readPorts(serialNumber, options.ports, reading.values, stopRequested, [&] {
            read = now();
            reading.wallClock = std::chrono::system_clock::now();
        });
        for (const std::string &failure : failures)
            console.error(failure);
        if ((failed = !failures.empty()) || reading.values.size() < options.ports.size())
            break; // a failure, or a stop signal during the reads
        if (!recordings.started()) {
            firstReading = read;
            end = options.durationMs > 0 ? read + options.durationMs * NanosPerMs : end;
        }
        reading.micros = (read - firstReading) / 1000;
        recordings.record(reading);
        if (recordings.anyFailed() || recordings.countReached())
            break;
        due = nextDeadline(due, started, interval);
    }
    const Nanos ended = now();
    recordings.end((ended - firstReading) / 1000);
    if (!recordings.started() && !failed)
        console.note("dio watch: stopped before the first reading; the recording holds no values");
    if (options.stats)
        console.note("dio watch: " + statsText(stats, ended - start, options.intervalMs));
    return recordings.reportFailures(console) || failed ? cli::Exit::Failed : cli::Exit::Done;
}

} // namespace dio
