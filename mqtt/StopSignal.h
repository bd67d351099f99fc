// SIGINT, SIGTERM and SIGHUP for the bridge: the first asks it to stop (publish offline, disconnect, exit 0),
// and if the bridge cannot get there within a moment (a library call that takes its time) the last words are
// said from here and the process ends with 0 anyway; a second signal ends it at once.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>

#include "Wakeup.h"

namespace mqtt {

class StopSignal {
public:
    // Blocks the stop signals (those not left ignored) for this thread and every thread started after it:
    // call it first.
    StopSignal();
    // Starts watching. `lastWords` runs on the watcher's thread when the bridge is too slow to stop itself.
    void watch(std::function<void()> lastWords);
    // The bridge's wait between polls, ended when a stop is asked for; the link ends it for its events.
    // Lives as long as this, which is never destroyed while the watcher may still use it.
    Wakeup &wakeup() { return wakeup_; }
    bool requested() const { return requested_; }
    // The bridge claims the stop for itself; false when the watcher already did.
    bool claim() { return !claimed_.exchange(true); }

private:
    void run();
    sigset_t signals_;
    Wakeup wakeup_;
    std::atomic<bool> requested_{false};
    std::atomic<bool> claimed_{false};
    std::function<void()> lastWords_;
};

} // namespace mqtt
