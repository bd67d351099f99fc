// The least a program that wakes on a timer can cost: it sleeps to the next tick and does nothing. The
// bridge benchmark runs it beside dio-mqtt, at the same interval, as the floor under the bridge's CPU.
#include <cstdlib>
#include <ctime>

#include "NextTick.h"

int main(int argc, char *argv[]) {
    const long intervalMs = argc > 1 ? std::atol(argv[1]) : 10;
    if (intervalMs < 1)
        return 2;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;)
        sleepToNextTick(next, intervalMs);
}
