// The module's own exceptions: dio.DeviceError for a failed device operation and dio.LibraryError for a
// device library that cannot be used. C++ code throws the failures below, with or without the GIL; they
// become the Python exceptions when the call returns to Python.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

namespace pydio {

// `operation` is the library function's name; `latin1Serial` is empty for a call that concerns no device.
struct DeviceFailure : std::runtime_error {
    DeviceFailure(std::int32_t status, const std::string &latin1Message, const char *operation,
                  std::string latin1Serial = {})
        : std::runtime_error(latin1Message), status(status), operation(operation),
          serial(std::move(latin1Serial)) {}
    std::int32_t status;
    const char *operation;
    std::string serial;
};

struct LibraryFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Defines DeviceError, LibraryError and DeviceInfo in the module and turns the failures into them.
void defineErrors(pybind11::module_ &module);

// A Python text from the library's single bytes: every byte is one Latin-1 character.
pybind11::str latin1Text(std::string_view bytes);

// A Python text from a file name or a text that holds one, decoded as os.fsdecode() does.
pybind11::str fileSystemText(const std::string &bytes);

// dio.DeviceInfo(serial, description)
pybind11::object deviceInfo(std::string_view latin1Serial, std::string_view latin1Description);

} // namespace pydio
