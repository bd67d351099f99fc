#include "DioStop.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace dio {

namespace {

volatile sig_atomic_t firstSignal = 0;
int wakeUp[2] = {-1, -1}; // a pipe: the handler writes a byte, the wait polls the other end

void onStopSignal(int signal) {
    if (firstSignal != 0) { // the second: end as the signal would have
        ::signal(signal, SIG_DFL);
        ::raise(signal); // delivered as soon as the handler returns
        return;
    }
    firstSignal = signal;
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeUp[1], "", 1);
    errno = savedErrno;
}

} // namespace

bool catchStopSignals() {
    if (wakeUp[0] < 0 && ::pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    // A hangup, as when the terminal of a recording to a file is closed, ends it as properly as a Ctrl-C.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue; // a background job's SIGINT or nohup's SIGHUP, say: the caller wants it ignored
        sigaction(signal, &action, nullptr);
    }
    return true;
}

bool stopRequested() {
    return firstSignal != 0;
}

int stopDescriptor() {
    return wakeUp[0];
}

} // namespace dio
