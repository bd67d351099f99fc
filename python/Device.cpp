#include "Device.h"

#include "Arguments.h"
#include "LibraryChoice.h"
#include "OperationTexts.h"
#include "PythonErrors.h"

namespace py = pybind11;

namespace pydio {

namespace {

// The library's message, else the operation's fixed text.
std::string failureMessage(const device::MessageBuffer &message, const char *failureText) {
    const std::string_view text = device::boundedText(message);
    return text.empty() ? failureText : std::string(text);
}

} // namespace

Device::Device(const py::str &serial) : serial_(serial) {
    const device::SerialNumberBuffer serialNumber = serialArgument(serial);
    ensureLoaded();
    py::gil_scoped_release released;
    if (const std::int32_t status = OpenDevice(serialNumber.data(), &handle_); status != 0)
        throw DeviceFailure(status, device::OpenErrorText);
    open_ = true;
}

Device::~Device() {
    if (open_)
        CloseDevice(handle_);
}

// Runs one library call on the open device, with a zero-filled message buffer of its own.
template <typename Call> void Device::callOpenDevice(const char *failureText, Call call) {
    device::MessageBuffer message{};
    py::gil_scoped_release released;
    const std::lock_guard lock(mutex_);
    if (!open_)
        throw py::value_error("the device is closed");
    if (const std::int32_t status = call(message.data()); status != 0)
        throw DeviceFailure(status, failureMessage(message, failureText));
}

void Device::write(const py::int_ &port, const py::int_ &value) {
    const std::uint8_t portNumber = byteArgument(port, "port");
    const std::uint8_t byte = byteArgument(value, "value");
    callOpenDevice(device::WriteErrorText,
                   [&](char *message) { return WritePort(handle_, portNumber, byte, message); });
}

int Device::read(const py::int_ &port) {
    const std::uint8_t portNumber = byteArgument(port, "port");
    std::uint8_t value = 0;
    callOpenDevice(device::ReadErrorText,
                   [&](char *message) { return ReadPort(handle_, portNumber, &value, message); });
    return value;
}

py::str Device::version() {
    device::VersionBuffer version{};
    callOpenDevice(device::VersionErrorText,
                   [&](char *message) { return GetSWVersion(handle_, version.data(), message); });
    return latin1Text(device::boundedText(version));
}

void Device::close() {
    py::gil_scoped_release released;
    const std::lock_guard lock(mutex_);
    if (!open_)
        return;
    open_ = false; // released whatever the library says
    if (const std::int32_t status = CloseDevice(handle_); status != 0)
        throw DeviceFailure(status, device::CloseErrorText);
}

} // namespace pydio
