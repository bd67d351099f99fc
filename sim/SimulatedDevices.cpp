// The simulated device library: two devices that need no hardware, so the panel works out of the box.
//
// "DIO-SIM-0001" behaves as if a cable joined its outputs to its inputs; "DIO-SIM-0002" has inputs that
// change by themselves with time. Output latches live as long as the library is loaded, across opens and
// closes, as a real device's would.

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "kavren.h"

namespace {

enum Status : int32_t {
    Ok = 0,
    BadArgument = 1,
    UnknownDevice = 2,
    BadHandle = 3,
    NoSuchPort = 4,
    InputPort = 5,
};

constexpr uint8_t InputPort0 = 0x00;
constexpr uint8_t InputPort1 = 0x01;
constexpr uint8_t OutputPort0 = 0x10;
constexpr uint8_t OutputPort1 = 0x11;
constexpr const char *Version = "1.0-sim";

enum class Inputs { Loopback, Counting };

struct Device {
    const char *serialNumber;
    const char *description;
    Inputs inputs;
    std::array<uint8_t, 2> outputs{}; // latches of ports 0x10 and 0x11
};

using Clock = std::chrono::steady_clock;

class Simulator {
public:
    int32_t list(int32_t *count, char *serialNumbers, char *descriptions);
    int32_t open(const char *serialNumber, DeviceHandle *handle);
    int32_t close(DeviceHandle handle);
    int32_t version(DeviceHandle handle, char *version, char *message);
    int32_t read(DeviceHandle handle, uint8_t port, uint8_t *value, char *message);
    int32_t write(DeviceHandle handle, uint8_t port, uint8_t value, char *message);

private:
    Device *deviceFor(DeviceHandle handle, char *message);
    uint8_t inputValue(const Device &device, uint8_t port) const;

    std::mutex mutex_;
    std::array<Device, 2> devices_{{
        {"DIO-SIM-0001", "Simulated USB DIO - outputs wired to inputs", Inputs::Loopback, {}},
        {"DIO-SIM-0002", "Simulated USB DIO - counting inputs", Inputs::Counting, {}},
    }};
    std::map<DeviceHandle, Device *> openHandles_;
    DeviceHandle lastHandle_ = 0;
    const Clock::time_point loadedAt_ = Clock::now();
};

Simulator simulator;

// Writes a message that always ends with its NUL inside the 256-byte buffer.
__attribute__((format(printf, 2, 3))) void setMessage(char *message, const char *format, ...) {
    if (message == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, KAVREN_MESSAGE_SIZE, format, arguments);
    va_end(arguments);
}

// Joins one field of every device with commas; the result and its NUL fit `size` bytes.
template <typename Field>
void joinFields(const std::array<Device, 2> &devices, char *buffer, std::size_t size, Field field) {
    std::size_t used = 0;
    buffer[0] = '\0';
    for (const Device &device : devices) {
        const int written =
            std::snprintf(buffer + used, size - used, "%s%s", used == 0 ? "" : ",", field(device));
        used += static_cast<std::size_t>(written);
    }
}

int32_t Simulator::list(int32_t *count, char *serialNumbers, char *descriptions) {
    if (count == nullptr || serialNumbers == nullptr || descriptions == nullptr)
        return BadArgument;
    std::lock_guard lock(mutex_);
    joinFields(devices_, serialNumbers, KAVREN_SERIAL_LIST_SIZE,
               [](const Device &d) { return d.serialNumber; });
    joinFields(devices_, descriptions, KAVREN_DESCRIPTION_LIST_SIZE,
               [](const Device &d) { return d.description; });
    *count = static_cast<int32_t>(devices_.size());
    return Ok;
}

int32_t Simulator::open(const char *serialNumber, DeviceHandle *handle) {
    if (serialNumber == nullptr || handle == nullptr)
        return BadArgument;
    const std::string_view wanted(serialNumber, strnlen(serialNumber, KAVREN_SERIAL_NUMBER_SIZE));
    std::lock_guard lock(mutex_);
    for (Device &device : devices_) {
        if (wanted != device.serialNumber)
            continue;
        do {
            ++lastHandle_;
        } while (lastHandle_ == 0 || openHandles_.count(lastHandle_) != 0);
        openHandles_[lastHandle_] = &device;
        *handle = lastHandle_;
        return Ok;
    }
    return UnknownDevice;
}

int32_t Simulator::close(DeviceHandle handle) {
    if (handle == 0)
        return Ok; // what a failed open leaves behind
    std::lock_guard lock(mutex_);
    return openHandles_.erase(handle) == 1 ? Ok : BadHandle;
}

Device *Simulator::deviceFor(DeviceHandle handle, char *message) {
    const auto found = openHandles_.find(handle);
    if (found == openHandles_.end()) {
        setMessage(message, "Device handle 0x%08X is not open", static_cast<unsigned>(handle));
        return nullptr;
    }
    return found->second;
}

int32_t Simulator::version(DeviceHandle handle, char *version, char *message) {
    std::lock_guard lock(mutex_);
    if (deviceFor(handle, message) == nullptr)
        return BadHandle;
    if (version == nullptr) {
        setMessage(message, "No buffer for the version");
        return BadArgument;
    }
    std::snprintf(version, KAVREN_VERSION_SIZE, "%s", Version);
    return Ok;
}

uint8_t Simulator::inputValue(const Device &device, uint8_t port) const {
    if (device.inputs == Inputs::Loopback)
        return device.outputs[port == InputPort0 ? 0 : 1];
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - loadedAt_).count();
    if (port == InputPort0)
        return static_cast<uint8_t>(elapsed / 250);
    return static_cast<uint8_t>(1u << ((elapsed / 500) % 8));
}

int32_t Simulator::read(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    std::lock_guard lock(mutex_);
    const Device *device = deviceFor(handle, message);
    if (device == nullptr)
        return BadHandle;
    if (value == nullptr) {
        setMessage(message, "No buffer for the value of port 0x%02X", port);
        return BadArgument;
    }
    switch (port) {
    case InputPort0:
    case InputPort1:
        *value = inputValue(*device, port);
        return Ok;
    case OutputPort0:
    case OutputPort1:
        *value = device->outputs[port - OutputPort0];
        return Ok;
    default:
        setMessage(message, "Port 0x%02X does not exist", port);
        return NoSuchPort;
    }
}

int32_t Simulator::write(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    std::lock_guard lock(mutex_);
    Device *device = deviceFor(handle, message);
    if (device == nullptr)
        return BadHandle;
    switch (port) {
    case InputPort0:
    case InputPort1:
        setMessage(message, "Port 0x%02X is an input", port);
        return InputPort;
    case OutputPort0:
    case OutputPort1:
        device->outputs[port - OutputPort0] = value;
        return Ok;
    default:
        setMessage(message, "Port 0x%02X does not exist", port);
        return NoSuchPort;
    }
}

} // namespace

extern "C" {

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    return simulator.list(count, serialNumbers, descriptions);
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    return simulator.open(serialNumber, handle);
}

int32_t CloseDevice(DeviceHandle handle) {
    return simulator.close(handle);
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    return simulator.version(handle, version, message);
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    return simulator.read(handle, port, value, message);
}

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    return simulator.write(handle, port, value, message);
}

} // extern "C"
