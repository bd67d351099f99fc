// Arguments from Python checked before any library call: bad ones raise ValueError (pybind11 raises
// TypeError for the wrong type before these run).
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

#include "LibraryBuffers.h"

namespace pydio {

// A serial number by the device-text rule: 1-19 Latin-1 characters, no comma, no control character.
device::SerialNumberBuffer serialArgument(const pybind11::str &serial);

// A port or value: 0-255. `name` names it in the error.
std::uint8_t byteArgument(const pybind11::int_ &number, const char *name);

} // namespace pydio
