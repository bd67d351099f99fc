// A scriptable stand-in for the device library. Tests queue replies for each operation, or let a reply
// source answer every call, and read back a log of every call with its arguments and the state of the
// caller's buffers on entry. Unscripted calls are answered by a small, well-behaved device model.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kavren.h"

namespace fake {

enum class Op { ListDevices, OpenDevice, CloseDevice, GetSWVersion, ReadPort, WritePort };

struct Call {
    Op op;
    DeviceHandle handle = 0;    // the handle argument; for OpenDevice the handle variable on entry
    DeviceHandle handleOut = 0; // OpenDevice: the handle variable as the call left it
    std::uint8_t port = 0;
    std::uint8_t value = 0;   // ReadPort: the value variable on entry; WritePort: the value written
    std::int32_t count = 0;   // ListDevices: the count variable on entry
    std::string serialNumber; // OpenDevice: all 20 bytes of the serial-number buffer
    std::string text;         // ListDevices: serial list (512 bytes); GetSWVersion: version (10 bytes)
    std::string descriptions; // ListDevices: description list (1024 bytes)
    std::string message;      // all 256 bytes of the message buffer on entry
    std::string messageAfter; // and as the call left it
    std::int32_t status = 0;  // what the call returned
};

// What one call does. Unset fields leave the caller's variables and buffers untouched; byte strings are
// copied as they stand (no NUL added) and cut at the buffer's size.
struct Reply {
    std::int32_t status = 0;
    std::optional<DeviceHandle> handle;
    std::optional<std::uint8_t> value;
    std::optional<std::int32_t> count;
    std::optional<std::string> text; // serial list or version bytes
    std::optional<std::string> descriptions;
    std::optional<std::string> message;
};

struct Device {
    std::string serialNumber;
    std::string description;
};

void reset(); // no script, an empty log, and the model's two devices "A1" ("One") and "B2" ("Two")
void setDevices(std::vector<Device> devices);
void setPortValue(const std::string &serialNumber, std::uint8_t port, std::uint8_t value);
std::uint8_t portValue(const std::string &serialNumber, std::uint8_t port);

void queue(Op op, Reply reply); // the next call of op answers with reply, before any source or model
using ReplySource = std::function<std::optional<Reply>(Op)>;
void setReplySource(ReplySource source); // answers calls that no queued reply answers

const std::vector<Call> &calls();
std::vector<Call> callsOf(Op op);
void clearCalls();

// Why the log breaks the open-close rule (every OpenDevice, failed or not, is followed by a CloseDevice
// of the handle it left before anything else opens, and no port or version call happens outside one),
// or an empty text when it keeps it.
std::string openCloseViolation();

// A NUL-terminated text as it would sit at the start of a zeroed buffer.
inline std::string cstr(const std::string &text) {
    return text + '\0';
}

} // namespace fake
