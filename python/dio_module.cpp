// The dio module: the device operations for Python bench test scripts, over the same library loader and
// text rules as the panel and the command-line tools.

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include "Device.h"
#include "LibraryChoice.h"
#include "Listing.h"
#include "PythonErrors.h"

namespace py = pybind11;
using pydio::Device;

namespace {

constexpr const char *ModuleDoc = R"(The operations of a USB digital I/O device, for bench test scripts.

    import dio
    dio.devices()                            # [DeviceInfo(serial='DIO-SIM-0001', ...), ...]
    with dio.Device("DIO-SIM-0001") as dev:  # opened here, closed on leaving, also on an exception
        dev.write(0x10, 0x5A)
        dev.read(0x00)                       # 0-255
        dev.version                          # the device's software version

Ports and values are 0-255. A failed operation raises DeviceError with the library's status and message
(or a fixed text such as "Error Reading Port"); bad arguments raise ValueError or TypeError before the
device is touched. Texts from the library are decoded from Latin-1, byte for byte.

The device library libkavren.so.1 is chosen at the first call that needs it, by the rule of the panel and
of dio: the file given to use_library(), or the bundled simulator after use_simulator(); else the file in
KAVREN_LIBRARY; else a libkavren.so.1 that the system's loader finds (LD_LIBRARY_PATH, a vendor's
package); else the simulator installed with this module. A library that is named or found but cannot be
used raises LibraryError and is never replaced by the next one. library_path() says which file is in use.

Every library call releases the GIL, so other threads run while a device call waits; one Device used
from several threads serves one call at a time.)";

constexpr const char *DeviceDoc = R"(An open device, chosen by its serial number.

Device(serial) opens it (OpenDevice) and raises DeviceError("Error Opening Device") when it cannot. Use it
in a with statement, which closes it on leaving, or call close(). The serial number has 1-19 Latin-1
characters, no comma and no control character.)";

void exitDevice(Device &device, const py::object &type, const py::object &error) {
    if (type.is_none()) {
        device.close();
        return;
    }
    // The exception leaving the block says what went wrong first; a failed close is noted on it.
    try {
        device.close();
    } catch (const pydio::DeviceFailure &closing) {
        if (py::hasattr(error, "add_note"))
            error.attr("add_note")(py::str("closing the device failed too: {} (status {})")
                                       .format(pydio::latin1Text(closing.what()), closing.status));
    }
}

void defineDevice(py::module_ &module) {
    py::class_<Device>(module, "Device", DeviceDoc)
        .def(py::init<const py::str &>(), py::arg("serial"))
        .def("write", &Device::write, py::arg("port"), py::arg("value"),
             "Writes the value (0-255) to the port (0-255): WritePort.")
        .def("read", &Device::read, py::arg("port"),
             "Reads the port (0-255) and returns its value 0-255: ReadPort.")
        .def_property_readonly("version", &Device::version, "The device's software version: GetSWVersion.")
        .def("close", &Device::close,
             "Closes the device (CloseDevice). A failed close raises DeviceError after the device is "
             "released; closing a closed device does nothing.")
        .def_property_readonly("closed", &Device::closed, "Whether the device was closed.")
        .def_property_readonly("serial", &Device::serial, "The serial number the device was opened with.")
        .def(
            "__enter__",
            [](Device &device) -> Device & {
                if (device.closed())
                    throw py::value_error("the device is closed");
                return device;
            },
            py::return_value_policy::reference)
        .def(
            "__exit__",
            [](Device &device, const py::object &type, const py::object &error, const py::object &) {
                exitDevice(device, type, error);
                return false;
            },
            py::arg("type"), py::arg("error"), py::arg("traceback"),
            "Closes the device. When the block raised, that exception goes on and a failed close is "
            "added to it as a note.")
        .def("__repr__", [](const Device &device) {
            return py::str("<dio.Device {!r} {}>")
                .format(device.serial(), device.closed() ? "closed" : "open");
        });
}

} // namespace

PYBIND11_MODULE(dio, module) {
    module.doc() = ModuleDoc;
    module.attr("__version__") = DIOPANEL_VERSION;
    pydio::defineErrors(module);
    defineDevice(module);
    module.def("devices", &pydio::listDevices,
               "The devices the library lists (ListDevices), as DeviceInfo(serial, description) tuples.");
    module.def(
        "library_path", [] { return pydio::fileSystemText(pydio::libraryPath()); },
        "The absolute path of the device library in use, loaded first when no call loaded it yet.");
    module.def("use_library", &pydio::useLibrary, py::arg("path"),
               "Uses this device library file, as --library PATH does for the tools. Call it before the "
               "first call that uses the library; afterwards another file raises RuntimeError.");
    module.def("use_simulator", &pydio::useSimulator,
               "Uses the simulator installed with this module, as --simulator does for the tools. Call it "
               "before the first call that uses the library.");
}
