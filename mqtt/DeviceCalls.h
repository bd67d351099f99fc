// The device transactions the bridge makes, each in one open-operate-close of the library, with a failed
// call told as the operation, its status and the library's message (as UTF-8) for the error topic.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceList.h"
#include "LibraryBuffers.h"

namespace mqtt {

inline constexpr std::array<std::uint8_t, 4> StatePorts = {0x00, 0x01, 0x10, 0x11};
using PortState = std::array<std::uint8_t, 4>; // in StatePorts order

struct CallFailure {
    std::string operation;
    std::int32_t status = 0;
    std::string message; // UTF-8
    bool operator==(const CallFailure &) const = default;
};
using Outcome = std::optional<CallFailure>; // nothing when every call succeeded

// The library's answer to a listing as it gave it: one equal to the last tells a rescan nothing changed.
struct ListedText {
    std::int32_t count = 0;
    device::SerialListBuffer serials{};
    device::DescriptionListBuffer descriptions{};
    bool operator==(const ListedText &other) const;
    device::Listing listing() const;
};

Outcome listDevices(ListedText &listed);
Outcome readState(const device::SerialNumberBuffer &serial, PortState &state);
Outcome readVersion(const device::SerialNumberBuffer &serial, std::string &version);
// Writes in the order given, then reads all four ports back.
Outcome writePorts(const device::SerialNumberBuffer &serial, const std::vector<PortWrite> &writes,
                   PortState &state);
// Reads the port, changes the one bit, writes it, then reads all four ports back.
Outcome writeBit(const device::SerialNumberBuffer &serial, const BitWrite &write, PortState &state);

} // namespace mqtt
