#include "Wakeup.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mqtt {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

void Wakeup::wake() {
    // Only the wake that made the word 1 can find the waiter asleep on 0.
    if (pending_.exchange(1) == 0)
        syscall(SYS_futex, &pending_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Wakeup::waitUntil(std::chrono::steady_clock::time_point deadline) {
    if (pending_.exchange(0) != 0)
        return;
    // An absolute time on CLOCK_MONOTONIC, steady_clock's own: no drift from working out what is left.
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    if (since.count() <= 0)
        return;
    const timespec at{static_cast<time_t>(since.count() / 1'000'000'000),
                      static_cast<long>(since.count() % 1'000'000'000)};
    // Sleeps only while the word is still 0, so a wake between the exchange and here is not lost. Any
    // return (a wake, the deadline, a signal) ends the wait; the caller looks at what there is either way.
    syscall(SYS_futex, &pending_, FUTEX_WAIT_BITSET_PRIVATE, 0, &at, nullptr, FUTEX_BITSET_MATCH_ANY);
    pending_.store(0);
}

} // namespace mqtt
