// The floors' rhythm: ticks a fixed interval apart on the monotonic clock, never drifting with the work
// done between them.
#pragma once

#include <ctime>

inline void sleepToNextTick(timespec &next, long intervalMs) {
    next.tv_nsec += intervalMs * 1'000'000;
    next.tv_sec += next.tv_nsec / 1'000'000'000;
    next.tv_nsec %= 1'000'000'000;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}
