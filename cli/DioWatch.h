// dio watch: polls both input ports and prints a line at start and whenever either changes.
#pragma once

#include "Console.h"
#include "DeviceText.h"

namespace dio {

struct WatchOptions {
    int intervalMs = 100;
    int changeLines = 0; // stop after this many change lines; 0: until a signal or a failure
    bool json = false;
};

// SIGINT and SIGTERM stay pending from here on, so that watch takes them between two polls, never
// inside a transaction, and never misses one that comes just before it starts to wait.
void blockStopSignals();

// Ends with Done after the change lines or on SIGINT/SIGTERM (at once, whatever the interval), with
// Failed after printing why a call or the output failed.
cli::Exit watchInputs(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options,
                      cli::Console &console);

} // namespace dio
