// How the bridge's thread sleeps between polls, and how the network thread and the stop watcher cut that
// sleep short. A futex of the process's own: an idle poll then costs the kernel one timed wait, where a
// ppoll() over two eventfds looked up and queued on both descriptors at every poll, which the benchmark
// showed as a fifth of the floor's CPU.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace mqtt {

class Wakeup {
public:
    // Ends the wait under way, or else the next one at once. Any thread.
    void wake();
    // Sleeps until `deadline` or a wake, whichever is first; a wake given since the last wait returned ends
    // it at once. One waiting thread.
    void waitUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::atomic<std::uint32_t> pending_{0}; // 1 from a wake until a wait takes it
};

} // namespace mqtt
