#include "Listing.h"

#include "DeviceList.h"
#include "LibraryBuffers.h"
#include "LibraryChoice.h"
#include "OperationTexts.h"
#include "PythonErrors.h"
#include "WithoutGil.h"

namespace py = pybind11;

namespace pydio {

py::list listDevices() {
    ensureLoaded();
    device::SerialListBuffer serials{};
    device::DescriptionListBuffer descriptions{};
    std::int32_t count = 0;
    std::int32_t status = 0;
    withoutGil([&] { status = ListDevices(&count, serials.data(), descriptions.data()); });
    if (status != 0)
        throw DeviceFailure(status, device::ListErrorText, "ListDevices");
    const device::Listing listing =
        device::readListing(count, device::boundedText(serials), device::boundedText(descriptions));
    py::list devices;
    for (const device::ListedDevice &listed : listing.devices)
        devices.append(deviceInfo(listed.serialNumber, listed.description));
    if (!listing.disagreement.empty() &&
        PyErr_WarnEx(PyExc_RuntimeWarning, listing.disagreement.c_str(), 1) != 0)
        throw py::error_already_set();
    return devices;
}

} // namespace pydio
