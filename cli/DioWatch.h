// dio watch: polls both input ports and prints a line at start and whenever either changes.
#pragma once

#include "DeviceText.h"

namespace dio {

struct WatchOptions {
    int intervalMs = 100;
    int changeLines = 0; // stop after this many change lines; 0: until a signal or a failure
    bool json = false;
};

// Ends with 0 after the change lines or on SIGINT/SIGTERM (never inside a transaction), with 1 after
// printing why a call failed.
int watchInputs(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options);

} // namespace dio
