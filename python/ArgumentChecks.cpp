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

std::string utf8Text(const py::str &text) {
    const auto bytes =
        py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes)
        throw py::error_already_set();
    return std::string(bytes);
}

device::SerialNumberBuffer serialArgument(const py::str &serial) {
    const std::string shown = py::repr(serial);
    const auto bytes = device::latin1FromUtf8(utf8Text(serial));
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
    if (!whole) {
        // An __index__ that refuses (numpy's arrays of more than one element) says so without the name.
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error(std::string(name) +
                             " must be an integer (int or an object with __index__), not " +
                             typeName(number));
    }
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
    if (seconds.is_none() && !positive)
        return std::nullopt;
    if (isBool(seconds) || PyUnicode_Check(seconds.ptr()) || PyBytes_Check(seconds.ptr()) ||
        seconds.is_none())
        throw py::type_error(std::string(name) + " must be a number of seconds, not " + typeName(seconds));
    double value = PyFloat_AsDouble(seconds.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        // An int beyond a double's range is a bound of forever, as 1e308 is, or a negative one.
        if (PyErr_ExceptionMatches(PyExc_OverflowError) && PyLong_Check(seconds.ptr())) {
            PyErr_Clear();
            value = _PyLong_Sign(seconds.ptr()) < 0 ? -INFINITY : INFINITY;
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw py::type_error(std::string(name) + " must be a number of seconds, not " +
                                 typeName(seconds));
        } else {
            throw py::error_already_set(); // the object's own error, a KeyboardInterrupt in its __float__
        }
    }
    value += 0.0; // -0.0 is 0 s, not "-0 s"
    if (std::isnan(value) || value < 0 || (positive && value == 0))
        throw py::value_error(std::string(name) + " must be " + (positive ? "more than 0" : "0 or more") +
                              " seconds, not " + std::string(py::repr(seconds)));
    return value;
}

} // namespace pydio
