// What the launcher and the panel tell an operator when they cannot start.
#pragma once

#include <string>

namespace startup {

// Qt's own messages name the display, the platform and other values from the environment: each line is
// written to stderr escaped, as the panel's own messages are. Installed before any Qt object is made.
void escapeQtMessages();

// On stderr always, each line escaped; in a dialog too when there is a display, since a desktop launch shows
// no terminal.
void reportProblem(const std::string &text, int &argc, char **argv);

// Whether the panel can start: 0 when it can, else the exit code, after saying why. A library problem
// comes first (2), since it needs fixing with or without a display; then a missing display (1).
int refusalToStart(bool libraryLoaded, const std::string &libraryProblem, int &argc, char **argv);

} // namespace startup
