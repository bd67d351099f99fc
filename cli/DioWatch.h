// dio watch: reads the recorded ports on a steady rhythm and records the first reading and every change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Console.h"
#include "DioRecording.h"
#include "LibraryBuffers.h"

namespace dio {

struct Destination {
    Format format = Format::Text;
    std::string path; // empty: standard output
};

struct WatchOptions {
    int intervalMs = 100;
    int changeLines = 0;             // stop after this many changes; 0: no limit
    std::int64_t durationMs = 0;     // stop this long after the first reading; 0: no limit
    std::vector<std::uint8_t> ports; // recorded, in this order
    std::vector<Destination> destinations;
    bool comment = false;
    bool stats = false;
};

// Ticks at start + k * interval on the monotonic clock. A tick that cannot start on time runs at once and
// counts as late when it is more than half an interval late; the deadlines it overran are skipped, never
// made up in a burst. Ends with Done after the changes, the duration or SIGINT/SIGTERM/SIGHUP (see
// DioStop.h), with every recording complete; with Failed after saying why a call or an output failed.
cli::Exit watchPorts(const device::SerialNumberBuffer &serialNumber, const WatchOptions &options,
                     cli::Console &console);

} // namespace dio
