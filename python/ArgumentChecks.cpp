#include "ArgumentChecks.h"

#include <cmath>
#include <string_view>

#include "TextRules.h"

namespace py = pybind11;

namespace pydio {

namespace {

std::string typeName(py::handle object) {
    return py::str(py::type::handle_of(object).attr("__name__"));
}

bool isBool(py::handle object) {
    const std::string_view type = Py_TYPE(object.ptr())->tp_name;
    return PyBool_Check(object.ptr()) || type == "numpy.bool_" || type == "numpy.bool";
}

} // namespace

device::SerialNumberBuffer serialArgument(const py::str &serial) {
    const std::string shown = py::repr(serial);
    const auto bytes = device::latin1FromUtf8(std::string(serial));
    if (!bytes)
        throw py::value_error("serial number " + shown + " has a character outside Latin-1");
    if (const auto problem = device::serialProblem(*bytes))
        throw py::value_error("serial number " + shown + ": " + *problem);
    return device::serialNumberBuffer(*bytes);
}

long long integerArgument(py::handle number, const char *name, long long low, long long high) {
    // A bool has __index__ (numpy's too, for now), but True as a port or a count is a slip, not a number.
    if (isBool(number) || !PyIndex_Check(number.ptr()))
        throw py::type_error(std::string(name) +
                             " must be an integer (int or an object with __index__), not " +
                             typeName(number));
    const py::int_ whole = py::reinterpret_steal<py::int_>(PyNumber_Index(number.ptr()));
    if (!whole)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow != 0 || value < low || value > high)
        throw py::value_error(std::string(name) + " must be " + std::to_string(low) + "-" +
                              std::to_string(high) + ", not " + std::string(py::repr(whole)));
    return value;
}

std::uint8_t byteArgument(py::handle number, const char *name) {
    return static_cast<std::uint8_t>(integerArgument(number, name, 0, 255));
}

std::optional<double> secondsArgument(py::handle seconds, const char *name, bool positive) {
    if (seconds.is_none())
        return std::nullopt;
    if (isBool(seconds) || PyUnicode_Check(seconds.ptr()) || PyBytes_Check(seconds.ptr()))
        throw py::type_error(std::string(name) + " must be a number of seconds, not " + typeName(seconds));
    const double value = PyFloat_AsDouble(seconds.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be a number of seconds, not " + typeName(seconds));
    }
    if (std::isnan(value) || value < 0 || (positive && value == 0))
        throw py::value_error(std::string(name) + " must be " + (positive ? "more than 0" : "0 or more") +
                              " seconds, not " + std::string(py::repr(seconds)));
    return value;
}

} // namespace pydio
