#include "PythonErrors.h"

#include <pybind11/eval.h>

namespace py = pybind11;

namespace pydio {

namespace {

// Plain Python classes, so that scripts can construct, catch and inspect them like any exception.
constexpr const char *Definitions = R"py(
import collections

class DeviceError(OSError):
    """A device operation failed.

    serial: the device's serial number, or None for a call that concerns no device (ListDevices).
    operation: the library function that failed: "OpenDevice", "ReadPort", ...
    status: the non-zero status the device library returned.
    message: the library's message, or the fixed text of the operation ("Error Opening Device",
    "Error Reading Port", ...) when the library left none.

    An OSError, as the errors of other device libraries are; errno is None, since the status is the
    library's own number and no system error.
    """

    def __init__(self, status, message, serial=None, operation=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.serial = serial
        self.operation = operation

    def __str__(self):
        where = "" if self.serial is None else f"{self.serial}: "
        return f"{where}{self.message} (status {self.status})"

    def __repr__(self):
        return (f"DeviceError({self.status!r}, {self.message!r}, serial={self.serial!r}, "
                f"operation={self.operation!r})")

    def __reduce__(self):
        return type(self), (self.status, self.message, self.serial, self.operation)


class LibraryError(Exception):
    """No usable device library: which file was chosen, what is wrong with it, and how to provide one."""


DeviceInfo = collections.namedtuple("DeviceInfo", ["serial", "description"])
DeviceInfo.__doc__ = "A listed device: its serial number and its description."
# Shown and pickled as the package's own, where scripts find them.
DeviceError.__module__ = LibraryError.__module__ = DeviceInfo.__module__ = "dio"
del collections
)py";

// Owned by the module for the life of the process.
PyObject *deviceErrorType = nullptr;
PyObject *libraryErrorType = nullptr;
PyObject *deviceInfoType = nullptr;

void translate(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const DeviceFailure &device) {
        const py::object serial = device.serial.empty() ? py::none() : py::object(latin1Text(device.serial));
        const py::object error = py::reinterpret_borrow<py::object>(deviceErrorType)(
            device.status, latin1Text(device.what()), serial, py::str(device.operation));
        PyErr_SetObject(deviceErrorType, error.ptr());
    } catch (const LibraryFailure &library) {
        PyErr_SetObject(libraryErrorType, fileSystemText(library.what()).ptr());
    }
}

} // namespace

void defineErrors(py::module_ &module) {
    py::exec(Definitions, module.attr("__dict__"));
    deviceErrorType = py::object(module.attr("DeviceError")).release().ptr();
    libraryErrorType = py::object(module.attr("LibraryError")).release().ptr();
    deviceInfoType = py::object(module.attr("DeviceInfo")).release().ptr();
    py::register_exception_translator(translate);
}

py::str latin1Text(std::string_view bytes) {
    PyObject *text = PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (text == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::str fileSystemText(const std::string &bytes) {
    PyObject *text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (text == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::object deviceInfo(std::string_view latin1Serial, std::string_view latin1Description) {
    return py::reinterpret_borrow<py::object>(deviceInfoType)(latin1Text(latin1Serial),
                                                              latin1Text(latin1Description));
}

} // namespace pydio
