// How a lamp presents itself to assistive technology: named after its port caption and bit ("Port 10
// bit 3"), a check box that is checked while the lamp is on, with the description "on" or "off". A lamp
// is off only when it is exactly pure green, as when the panel collects a port's value.
#pragma once

#include <QString>

#include "Lamps.h"

// Lamps 1 to 32 -> "Port 0 bit 0" ... "Port 11 bit 7".
QString lampAccessibleName(int lamp);
QString lampAccessibleState(TColor color);

// Makes Qt describe every TShape this way; safe to call more than once.
void installLampAccessibility();
