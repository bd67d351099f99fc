#include "StopSignal.h"

#include <csignal>
#include <cstdint>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace mqtt {

namespace {

// How long the bridge has to stop by itself before the watcher speaks for it.
constexpr long GraceNanoseconds = 600'000'000;

// A hangup (the terminal closed) stops the bridge as cleanly as SIGTERM does. A signal the caller left
// ignored (nohup, a shell's background job) stays ignored: once blocked it would be waited for instead.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&set, signal);
    }
    return set;
}

} // namespace

StopSignal::StopSignal() : signals_(stopSignals()) {
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
}

void StopSignal::watch(std::function<void()> lastWords) {
    lastWords_ = std::move(lastWords);
    std::thread([this] { run(); }).detach();
}

void StopSignal::run() {
    const sigset_t &set = signals_;
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    requested_ = true;
    wakeup_.wake();
    const timespec grace{0, GraceNanoseconds};
    siginfo_t info{};
    int second = sigtimedwait(&set, &info, &grace);
    if (second < 0 && claim()) {
        lastWords_();
        _exit(0);
    }
    if (second < 0) // the bridge is stopping by itself: a moment more, then the end
        second = sigtimedwait(&set, &info, &grace);
    _exit(second > 0 ? 128 + second : 0);
}

} // namespace mqtt
