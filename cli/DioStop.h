// How SIGINT, SIGTERM and SIGHUP end dio watch. The first lets the library call in progress return, then ends
// the recording properly (device closed, files complete, exit 0); a second ends the program at once, as
// the signal would have without a handler. A signal the caller left ignored stays ignored. Library calls
// are never interrupted by the handler (their system calls restart), so a slow call takes its time.
#pragma once

namespace dio {

// Installs the handlers; false (with errno) when the wake-up descriptor cannot be made.
bool catchStopSignals();
// Whether a first stop signal has come.
bool stopRequested();
// Becomes readable when the first stop signal comes, for waits between ticks.
int stopDescriptor();

} // namespace dio
