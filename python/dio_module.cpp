// dio._dio: the device operations for Python bench test scripts, over the same library loader and text
// rules as the panel and the command-line tools. The package dio re-exports it and documents it.

#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include "Device.h"
#include "LibraryChoice.h"
#include "Listing.h"
#include "PythonErrors.h"
#include "SimControls.h"

namespace py = pybind11;
using pydio::Device;

namespace {

constexpr const char *DeviceDoc = R"(An open device, chosen by its serial number.

Device(serial) opens it (OpenDevice) and raises DeviceError("Error Opening Device") when it cannot. Use it
in a with statement, which closes it on leaving, or call close(). The serial number has 1-19 Latin-1
characters, no comma and no control character. Ports are 0-255: the inputs are INPUT_PORTS (0x00, 0x01),
the outputs OUTPUT_PORTS (0x10, 0x11). Ports and values are ints or any integers with __index__.)";

constexpr const char *WaitForDoc =
    R"(Reads the port until (value read & mask) == value, then returns the value read.

Raises TimeoutError naming the port, the wanted and the last value read when `timeout` seconds pass first
(None waits without bound). Sleeps `interval` seconds between reads, with the GIL released; Ctrl-C ends
the wait within one interval, or when a slow library call returns. Example: the DUT raises READY (bit 0 of
input port 0x00) within 2 s: dev.wait_for(dio.INPUT_PORTS[0], 0x01, mask=0x01, timeout=2).)";

constexpr const char *WaitChangeDoc =
    R"(Reads the port until it differs from its first read, then returns the new value.

TimeoutError after `timeout` seconds (None waits without bound); reads every `interval` seconds, as
wait_for() does.)";

// The device behind `self`, or nullptr when a script made it without __init__ (Device.__new__,
// copy.copy): pybind11 would hand such an object's unconstructed memory to a method.
Device *constructed(py::handle self) {
    if (!py::isinstance<Device>(self))
        throw py::type_error("a dio.Device method needs a dio.Device, not " +
                             std::string(py::str(py::type::handle_of(self).attr("__name__"))));
    auto *instance = reinterpret_cast<py::detail::instance *>(self.ptr());
    auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(Device)));
    return holder.holder_constructed() ? holder.value_ptr<Device>() : nullptr;
}

Device &opened(py::handle self) {
    Device *device = constructed(self);
    if (device == nullptr)
        throw py::type_error("this dio.Device was never initialised: make one with dio.Device(serial)");
    return *device;
}

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
        // pybind11 ignores a second __init__ of a constructed object, but two threads can both be inside
        // __init__ of one never-initialised object, since the open runs without the GIL: the first to
        // finish keeps its device and the other closes its own, so no handle is lost or stored twice.
        .def(
            "__init__",
            [](py::detail::value_and_holder &self, const py::str &serial) {
                auto device = std::make_unique<Device>(serial);
                if (self.value_ptr() == nullptr)
                    self.value_ptr() = device.release();
            },
            py::detail::is_new_style_constructor(), py::arg("serial"))
        .def(
            "write",
            [](py::handle device, py::handle port, py::handle value) { opened(device).write(port, value); },
            py::arg("port"), py::arg("value"), "Writes the value (0-255) to the output port: WritePort.")
        .def(
            "read", [](py::handle device, py::handle port) { return opened(device).read(port); },
            py::arg("port"), "Reads the port and returns its value 0-255: ReadPort.")
        .def(
            "wait_for",
            [](py::handle device, py::handle port, py::handle value, py::handle mask, py::handle timeout,
               py::handle interval) { return opened(device).waitFor(port, value, mask, timeout, interval); },
            py::arg("port"), py::arg("value"), py::arg("mask") = 0xFF, py::kw_only(),
            py::arg("timeout") = py::none(), py::arg("interval") = 0.01, WaitForDoc)
        .def(
            "wait_change",
            [](py::handle device, py::handle port, py::handle timeout, py::handle interval) {
                return opened(device).waitChange(port, timeout, interval);
            },
            py::arg("port"), py::kw_only(), py::arg("timeout") = py::none(), py::arg("interval") = 0.01,
            WaitChangeDoc)
        .def_property_readonly(
            "version", [](py::handle device) { return opened(device).version(); },
            "The device's software version: GetSWVersion.")
        .def(
            "close", [](py::handle device) { opened(device).close(); },
            "Closes the device (CloseDevice). A failed close raises DeviceError after the device is "
            "released; closing a closed device does nothing.")
        .def_property_readonly(
            "closed", [](py::handle device) { return opened(device).closed(); },
            "Whether the device was closed.")
        .def_property_readonly(
            "serial", [](py::handle device) { return opened(device).serial(); },
            "The serial number the device was opened with.")
        .def("__enter__",
             [](py::handle device) -> py::handle {
                 if (opened(device).closed())
                     throw py::value_error("the device is closed");
                 return device;
             })
        .def(
            "__exit__",
            [](py::handle device, const py::object &type, const py::object &error, const py::object &) {
                exitDevice(opened(device), type, error);
            },
            py::arg("type"), py::arg("error"), py::arg("traceback"),
            "Closes the device. When the block raised, that exception goes on and a failed close is "
            "added to it as a note.")
        .def("__repr__",
             [](py::handle device) {
                 const Device *opened = constructed(device);
                 if (opened == nullptr)
                     return py::str("<dio.Device, never initialised>");
                 return py::str("<dio.Device {!r} {}>")
                     .format(opened->serial(), opened->closed() ? "closed" : "open");
             })
        .def("__reduce_ex__", [](py::handle, py::handle) -> py::object {
            throw py::type_error("a dio.Device is an open device: it cannot be copied or pickled");
        });
}

} // namespace

PYBIND11_MODULE(_dio, module) {
    module.doc() = "The device operations of the package dio; import dio, which documents them.";
    module.attr("__version__") = DIOPANEL_VERSION;
    module.attr("INPUT_PORTS") = py::make_tuple(0x00, 0x01);
    module.attr("OUTPUT_PORTS") = py::make_tuple(0x10, 0x11);
    pydio::nameLibrariesAsPython();
    Device::noteForks();
    pydio::defineErrors(module);
    defineDevice(module);
    pydio::defineSimControls(module);
    module.def("devices", &pydio::listDevices,
               "The devices the library lists (ListDevices), as DeviceInfo(serial, description) tuples.");
    module.def(
        "library_path", [] { return pydio::fileSystemText(pydio::libraryPath()); },
        "The absolute path of the device library in use, loaded first when no call loaded it yet.");
    module.def("use_library", &pydio::useLibrary, py::arg("path"),
               "Uses this device library file, as --library PATH does for the tools: loads and checks it at "
               "once (LibraryError when it cannot be used). Call it before any other call that uses the "
               "library; afterwards another file raises RuntimeError.");
    module.def(
        "use_simulator", &pydio::useSimulator,
        "Uses the simulator installed with this module, as --simulator does for the tools: loads it at "
        "once. Call it before any other call that uses the library.");
}
