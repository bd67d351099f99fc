#include "Listing.h"

#include <algorithm>
#include <string>

#include "DeviceList.h"
#include "LibraryBuffers.h"
#include "LibraryChoice.h"
#include "OperationTexts.h"
#include "PythonErrors.h"

namespace py = pybind11;

namespace pydio {

py::list listDevices() {
    ensureLoaded();
    device::SerialListBuffer serials{};
    device::DescriptionListBuffer descriptions{};
    std::int32_t count = 0;
    std::int32_t status = 0;
    {
        py::gil_scoped_release released;
        status = ListDevices(&count, serials.data(), descriptions.data());
    }
    if (status != 0)
        throw DeviceFailure(status, device::ListErrorText);
    const std::string_view serialText = device::boundedText(serials);
    const std::string_view descriptionText = device::boundedText(descriptions);
    const std::size_t serialFields = countListFields(serialText);
    const std::size_t descriptionFields = countListFields(descriptionText);
    // As dio lists them: no more than the count and the serial numbers allow; a missing description is
    // empty.
    const std::size_t listed = std::min<std::size_t>(std::max(count, 0), serialFields);
    py::list devices;
    std::size_t serialStart = 0, descriptionStart = 0;
    for (std::size_t i = 0; i < listed; ++i) {
        const std::string_view serial = SplitDeviceList(serialText, serialStart);
        devices.append(deviceInfo(
            serial, i < descriptionFields ? SplitDeviceList(descriptionText, descriptionStart) : ""));
    }
    if (count < 0 || static_cast<std::size_t>(count) != serialFields ||
        static_cast<std::size_t>(count) != descriptionFields) {
        const std::string warning = "the device library counts " + std::to_string(count) +
                                    " devices but lists " + std::to_string(serialFields) +
                                    " serial numbers and " + std::to_string(descriptionFields) +
                                    " descriptions";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0)
            throw py::error_already_set();
    }
    return devices;
}

} // namespace pydio
