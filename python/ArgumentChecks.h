// Arguments from Python checked before any library call: a wrong type raises TypeError and a value out of
// range ValueError, each naming the argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "LibraryBuffers.h"

namespace pydio {

// The text's UTF-8 bytes, a lone surrogate encoded too, so that the text rules refuse it as a character
// outside Latin-1 rather than with a codec error that names no argument.
std::string utf8Text(const pybind11::str &text);

// A serial number by the device-text rule: 1-19 Latin-1 characters, no comma, no control character.
device::SerialNumberBuffer serialArgument(const pybind11::str &serial);

// A whole number from `low` to `high`: an int or any object with __index__ (numpy's integers), never a
// bool, a float or a text. `name` names it in the error.
long long integerArgument(pybind11::handle number, const char *name, long long low, long long high);

// A port or value: 0-255.
std::uint8_t byteArgument(pybind11::handle number, const char *name);

// Seconds: a real number, not negative, not NaN (an int, a float, or an object with __float__). A
// bound (`positive` false) may be None, no bound; an interval (`positive` true) refuses None and 0.
std::optional<double> secondsArgument(pybind11::handle seconds, const char *name, bool positive);

} // namespace pydio
