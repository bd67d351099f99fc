#include "Arguments.h"

#include "TextRules.h"

namespace py = pybind11;

namespace pydio {

device::SerialNumberBuffer serialArgument(const py::str &serial) {
    const std::string shown = py::repr(serial);
    const auto bytes = device::latin1FromUtf8(std::string(serial));
    if (!bytes)
        throw py::value_error("serial number " + shown + " has a character outside Latin-1");
    if (const auto problem = device::serialProblem(*bytes))
        throw py::value_error("serial number " + shown + ": " + *problem);
    return device::serialNumberBuffer(*bytes);
}

std::uint8_t byteArgument(const py::int_ &number, const char *name) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value > 255)
        throw py::value_error(std::string(name) + " must be 0-255, not " + std::string(py::repr(number)));
    return static_cast<std::uint8_t>(value);
}

} // namespace pydio
