#include "StopSignal.h"

#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace mqtt {

namespace {

// How long the bridge has to stop by itself before the watcher speaks for it.
constexpr long GraceNanoseconds = 600'000'000;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopSignal::StopSignal() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void StopSignal::watch(std::function<void()> lastWords) {
    lastWords_ = std::move(lastWords);
    std::thread([this] { run(); }).detach();
}

void StopSignal::run() {
    const sigset_t set = stopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    requested_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
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
