// The six functions of kavren.h, forwarded to the device library the loader opened. Before a library is
// loaded every call fails with a non-zero status and leaves the caller's buffers as they are.

#include "LoadedOperations.h"

namespace {

constexpr int32_t NotLoaded = -1;

} // namespace

namespace device::detail {

Operations loadedOperations;

} // namespace device::detail

using device::detail::loadedOperations;

extern "C" {

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    if (loadedOperations.listDevices == nullptr)
        return NotLoaded;
    return loadedOperations.listDevices(count, serialNumbers, descriptions);
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    if (loadedOperations.openDevice == nullptr)
        return NotLoaded;
    return loadedOperations.openDevice(serialNumber, handle);
}

int32_t CloseDevice(DeviceHandle handle) {
    if (loadedOperations.closeDevice == nullptr)
        return NotLoaded;
    return loadedOperations.closeDevice(handle);
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    if (loadedOperations.getSWVersion == nullptr)
        return NotLoaded;
    return loadedOperations.getSWVersion(handle, version, message);
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    if (loadedOperations.readPort == nullptr)
        return NotLoaded;
    return loadedOperations.readPort(handle, port, value, message);
}

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    if (loadedOperations.writePort == nullptr)
        return NotLoaded;
    return loadedOperations.writePort(handle, port, value, message);
}

} // extern "C"
