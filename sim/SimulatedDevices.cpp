// The simulated device library: devices that need no hardware, so the panel works out of the box.
//
// The devices live in a state file shared by every process (see StateFile.h), so outputs written by one
// program are read by the next, and `dio-sim` can plug, unplug, set inputs and inject faults and delays
// while a panel runs. Handles belong to the process that opened them; each remembers the plug generation
// of its device, so a handle opened before an unplug stays dead after the device comes back, and the state
// it was opened in, which its calls go on using when the environment names another one meanwhile.

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

#include "StateFile.h"
#include "kavren.h"

namespace {

using sim::Device;
using sim::Operation;
using sim::State;

enum Status : int32_t {
    Ok = 0,
    BadArgument = 1,
    UnknownDevice = 2,
    BadHandle = 3,
    NoSuchPort = 4,
    InputPort = 5,
    Unplugged = 6,
    StateUnusable = 7,
};

constexpr uint8_t InputPort0 = 0x00;
constexpr uint8_t InputPort1 = 0x01;
constexpr uint8_t OutputPort0 = 0x10;
constexpr uint8_t OutputPort1 = 0x11;

// Writes a message that always ends with its NUL inside the 256-byte buffer.
__attribute__((format(printf, 2, 3))) void setMessage(char *message, const char *format, ...) {
    if (message == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, KAVREN_MESSAGE_SIZE, format, arguments);
    va_end(arguments);
}

// Joins one field of every plugged device with commas, one between any two fields even when the first is
// empty, so that each description stands at its serial number's place; the result and its NUL fit `size`
// bytes. The text rules keep commas and control bytes out of the fields.
void joinFields(const State &state, char *buffer, std::size_t size, std::string Device::*field) {
    std::size_t used = 0;
    const auto append = [&](std::string_view text) {
        const std::size_t length = std::min(text.size(), size - 1 - used);
        std::memcpy(buffer + used, text.data(), length);
        used += length;
    };
    bool first = true;
    for (const Device &device : state.devices) {
        if (!device.plugged)
            continue;
        if (!first)
            append(",");
        first = false;
        append(device.*field);
    }
    buffer[used] = '\0';
}

using FilePointer = std::shared_ptr<sim::StateFile>;

struct OpenedDevice {
    DeviceHandle handle = 0;
    std::string serial;
    uint32_t generation = 0;
    std::size_t place = 0; // where the device stood in the list last time: a poll finds it at once
    FilePointer file;      // the state it was opened in
};

using Snapshot = std::shared_ptr<const State>;
using Guard = std::unique_lock<std::mutex>;

// What this process knows besides the file: its open handles. Every call holds the mutex.
std::mutex mutex;
FilePointer stateFile; // the state the environment named when a device was last listed or opened
// A program opens a few devices at a time; a vector keeps a poll's open and close free of allocations.
std::vector<OpenedDevice> openHandles;
DeviceHandle lastHandle = 0;

// The environment's entries when the state's path was last worked out. A program may change its
// environment between calls; setting or unsetting a variable replaces an entry of `environ` or the array
// itself, so while every entry is the one seen last, so is the path. Every entry, not just the array's
// bounds and the two that name the path: a variable removed and another added can leave the array, its
// length and its last entry as they were. The two entries' text too: putenv makes the caller's buffer
// the entry, so writing to that buffer changes the variable under the same pointer.
class EnvironmentEntries {
public:
    bool unchanged() const {
        char **entry = environ;
        if (entry == nullptr)
            return seen_.empty();
        // No read past the array's end: a seen entry is never null, so its terminator stops the walk.
        for (const char *seen : seen_) {
            if (*entry != seen)
                return false;
            ++entry;
        }
        return *entry == nullptr &&
               std::all_of(pathEntries_.begin(), pathEntries_.end(),
                           [](const auto &entry) { return entry.second == environ[entry.first]; });
    }
    void remember() {
        seen_.clear();
        pathEntries_.clear();
        for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (namesThePath(*entry))
                pathEntries_.emplace_back(seen_.size(), *entry);
            seen_.push_back(*entry);
        }
    }

private:
    static bool namesThePath(const char *entry) {
        return std::strncmp(entry, "KAVREN_SIM_STATE=", 17) == 0 ||
               std::strncmp(entry, "XDG_RUNTIME_DIR=", 16) == 0;
    }

    std::vector<const char *> seen_;
    std::vector<std::pair<std::size_t, std::string>> pathEntries_; // where, and the text seen there
};

// The state the environment names now. Looked at when devices are listed or one is opened; a call on an
// open handle uses the handle's own state without a walk over the environment, which was about a third of
// what a poll's six calls cost.
const FilePointer &namedFile() {
    static EnvironmentEntries environment;
    if (!stateFile || !environment.unchanged()) {
        environment.remember();
        std::string path = sim::StateFile::defaultPath();
        if (!stateFile || stateFile->path() != path)
            stateFile = std::make_shared<sim::StateFile>(std::move(path));
    }
    return stateFile;
}

void failWith(int32_t &status, int32_t failure, char *message, const std::string &text) {
    setMessage(message, "%s", text.c_str());
    status = failure;
}

// Sets `status` and the message of the fault, or of the state when it went bad meanwhile; leaves them
// alone when the fault went away meanwhile. A counted fault is used up under the file's lock, so no two
// calls anywhere use the same one.
void useFault(sim::StateFile &file, Operation operation, const std::string &serial, char *message,
              int32_t &status) {
    std::optional<sim::Rule> used;
    std::string error;
    const bool updated = file.update(
        [&](State &current) {
            sim::Rule *rule = current.faultFor(operation, serial);
            if (rule == nullptr)
                return false;
            used = *rule;
            if (rule->always)
                return false;
            if (--rule->remaining == 0) {
                rule->fails = false;
                current.dropIdleRules();
            }
            return true;
        },
        error);
    if (!updated)
        failWith(status, StateUnusable, message, error);
    else if (used)
        failWith(status, used->status, message, used->message);
}

// The state a call works on in `named`, once its delay is served; nullptr with `status` (and the message)
// set when the state cannot be used or a fault applies. `named` is the handle's or the one named now, valid
// while the mutex is held; the file is held here while a delay lets other threads in, since a handle
// closed meanwhile may have been its last other holder.
Snapshot stateFor(Guard &guard, const FilePointer &named, Operation operation, const std::string &serial,
                  char *message, int32_t &status) {
    sim::StateFile *file = named.get();
    FilePointer heldDuringDelay;
    std::string error;
    Snapshot state = file->load(error);
    if (state != nullptr) {
        if (const uint32_t delay = state->delayFor(operation, serial); delay > 0) {
            heldDuringDelay = named;
            guard.unlock(); // other threads go on while this one waits
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            guard.lock();
            state = file->load(error);
        }
    }
    if (state == nullptr)
        failWith(status, StateUnusable, message, error);
    else if (state->faultFor(operation, serial) != nullptr)
        useFault(*file, operation, serial, message, status);
    return status == Ok ? state : nullptr;
}

// A device by its serial number. A poller opens the same device again, or the next in the list after the
// one it opened last: those two places are looked at before the whole list.
const Device *findForOpen(const State &state, std::string_view serial) {
    static std::size_t lastOpened = 0;
    const Device *device = nullptr;
    for (const std::size_t place : {lastOpened, lastOpened + 1})
        if (device == nullptr && place < state.devices.size() && state.devices[place].serial == serial)
            device = &state.devices[place];
    if (device == nullptr)
        device = state.find(serial);
    if (device != nullptr)
        lastOpened = static_cast<std::size_t>(device - state.devices.data());
    return device;
}

std::vector<OpenedDevice>::iterator findHandle(DeviceHandle handle) {
    return std::ranges::find(openHandles, handle, &OpenedDevice::handle);
}

std::string serialOf(DeviceHandle handle) {
    const auto found = findHandle(handle);
    return found == openHandles.end() ? std::string() : found->serial;
}

// The state a call on the handle works on: the one it was opened in, or for a handle that is not open the
// one named now.
const FilePointer &fileOf(DeviceHandle handle) {
    const auto found = findHandle(handle);
    return found == openHandles.end() ? namedFile() : found->file;
}

const Device *deviceFor(const State &state, DeviceHandle handle, char *message, int32_t &status) {
    const auto found = findHandle(handle);
    if (found == openHandles.end()) {
        setMessage(message, "Device handle 0x%08X is not open", static_cast<unsigned>(handle));
        status = BadHandle;
        return nullptr;
    }
    const Device *device =
        found->place < state.devices.size() && state.devices[found->place].serial == found->serial
            ? &state.devices[found->place]
            : state.find(found->serial);
    if (device != nullptr)
        found->place = static_cast<std::size_t>(device - state.devices.data());
    if (device == nullptr || !device->plugged || device->generation != found->generation) {
        setMessage(message, "Device %s was unplugged", found->serial.c_str());
        status = Unplugged;
        return nullptr;
    }
    return device;
}

// The device a call on an open handle works on, in `state`, once the call's delay and faults are served;
// nullptr with `status` set when a fault applies or the handle's device is gone.
const Device *deviceForCall(Guard &guard, Snapshot &state, Operation operation, DeviceHandle handle,
                            char *message, int32_t &status) {
    state = stateFor(guard, fileOf(handle), operation, serialOf(handle), message, status);
    return state == nullptr ? nullptr : deviceFor(*state, handle, message, status);
}

} // namespace

extern "C" {

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    if (count == nullptr || serialNumbers == nullptr || descriptions == nullptr)
        return BadArgument;
    Guard guard(mutex);
    int32_t status = Ok;
    const Snapshot state = stateFor(guard, namedFile(), Operation::ListDevices, {}, nullptr, status);
    if (state == nullptr)
        return status;
    joinFields(*state, serialNumbers, KAVREN_SERIAL_LIST_SIZE, &Device::serial);
    joinFields(*state, descriptions, KAVREN_DESCRIPTION_LIST_SIZE, &Device::description);
    *count = static_cast<int32_t>(std::ranges::count(state->devices, true, &Device::plugged));
    return Ok;
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    if (serialNumber == nullptr || handle == nullptr)
        return BadArgument;
    const std::string wanted(serialNumber, strnlen(serialNumber, KAVREN_SERIAL_NUMBER_SIZE));
    Guard guard(mutex);
    int32_t status = Ok;
    FilePointer file = namedFile();
    const Snapshot state = stateFor(guard, file, Operation::OpenDevice, wanted, nullptr, status);
    if (state == nullptr)
        return status;
    const Device *device = findForOpen(*state, wanted);
    if (device == nullptr || !device->plugged)
        return UnknownDevice;
    do {
        ++lastHandle;
    } while (lastHandle == 0 || findHandle(lastHandle) != openHandles.end());
    openHandles.push_back({lastHandle, wanted, device->generation,
                           static_cast<std::size_t>(device - state->devices.data()), std::move(file)});
    *handle = lastHandle;
    return Ok;
}

// A handle is released even when the call fails.
int32_t CloseDevice(DeviceHandle handle) {
    Guard guard(mutex);
    int32_t status = Ok;
    const Snapshot state =
        stateFor(guard, fileOf(handle), Operation::CloseDevice, serialOf(handle), nullptr, status);
    if (handle == 0)
        return status; // what a failed open leaves behind
    const auto found = findHandle(handle);
    if (found == openHandles.end())
        return state == nullptr ? status : BadHandle;
    if (state != nullptr)
        deviceFor(*state, handle, nullptr, status); // Unplugged when its device is gone
    openHandles.erase(found);
    return status;
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    Guard guard(mutex);
    int32_t status = Ok;
    Snapshot state;
    const Device *device = deviceForCall(guard, state, Operation::GetSWVersion, handle, message, status);
    if (device == nullptr)
        return status;
    if (version == nullptr) {
        setMessage(message, "No buffer for the version");
        return BadArgument;
    }
    std::snprintf(version, KAVREN_VERSION_SIZE, "%s", device->version.c_str());
    return Ok;
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    Guard guard(mutex);
    int32_t status = Ok;
    Snapshot state;
    const Device *device = deviceForCall(guard, state, Operation::ReadPort, handle, message, status);
    if (device == nullptr)
        return status;
    if (value == nullptr) {
        setMessage(message, "No buffer for the value of port 0x%02X", port);
        return BadArgument;
    }
    switch (port) {
    case InputPort0:
    case InputPort1:
        *value = sim::inputValue(*device, port == InputPort0 ? 0 : 1);
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

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    Guard guard(mutex);
    int32_t status = Ok;
    Snapshot state;
    if (deviceForCall(guard, state, Operation::WritePort, handle, message, status) == nullptr)
        return status;
    if (port == InputPort0 || port == InputPort1) {
        setMessage(message, "Port 0x%02X is an input", port);
        return InputPort;
    }
    if (port != OutputPort0 && port != OutputPort1) {
        setMessage(message, "Port 0x%02X does not exist", port);
        return NoSuchPort;
    }
    // Checked again under the file's lock: the device may have been unplugged meanwhile.
    std::string error;
    const bool updated = fileOf(handle)->update(
        [&](State &current) {
            if (deviceFor(current, handle, message, status) == nullptr)
                return false;
            current.find(serialOf(handle))->outputs[port - OutputPort0] = value;
            return true;
        },
        error);
    if (!updated)
        failWith(status, StateUnusable, message, error);
    return status;
}

} // extern "C"
