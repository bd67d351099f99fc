// What the launcher and the panel tell an operator when they cannot start.
#pragma once

#include <string>

namespace startup {

// A display server to show the window on, or a Qt platform that needs none (such as offscreen).
bool hasDisplay();

// Why the panel cannot show its window and how to run it anyway.
std::string noDisplayText();

// On stderr always; in a dialog too when there is a display, since a desktop launch shows no terminal.
void reportProblem(const std::string &text, int &argc, char **argv);

} // namespace startup
