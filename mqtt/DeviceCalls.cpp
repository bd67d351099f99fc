#include "DeviceCalls.h"

#include <functional>

#include "OperationTexts.h"
#include "TextRules.h"
#include "kavren.h"

namespace mqtt {

namespace {

using Body = std::function<Outcome(DeviceHandle, device::MessageBuffer &)>;

Outcome failure(const char *operation, std::int32_t status, const device::MessageBuffer *message,
                const char *fallback) {
    std::string text = message ? device::utf8FromLatin1(device::boundedText(*message)) : std::string();
    return CallFailure{operation, status, text.empty() ? fallback : text};
}

// Opens the device, runs the body with one message buffer, and closes a device that opened whatever the
// body did. The body's failure comes first; a failed close is told when the body succeeded.
Outcome transaction(const device::SerialNumberBuffer &serial, const Body &body) {
    DeviceHandle handle = 0;
    if (const std::int32_t status = OpenDevice(serial.data(), &handle); status != 0)
        return failure("OpenDevice", status, nullptr, device::OpenErrorText);
    device::MessageBuffer message{};
    Outcome outcome = body(handle, message);
    if (const std::int32_t status = CloseDevice(handle); status != 0 && !outcome)
        return failure("CloseDevice", status, nullptr, device::CloseErrorText);
    return outcome;
}

Outcome readAll(DeviceHandle handle, device::MessageBuffer &message, PortState &state) {
    for (std::size_t i = 0; i < StatePorts.size(); ++i) {
        message.fill('\0');
        if (const std::int32_t status = ReadPort(handle, StatePorts[i], &state[i], message.data());
            status != 0)
            return failure("ReadPort", status, &message, device::ReadErrorText);
    }
    return std::nullopt;
}

Outcome write(DeviceHandle handle, device::MessageBuffer &message, std::uint8_t port, std::uint8_t value) {
    message.fill('\0');
    if (const std::int32_t status = WritePort(handle, port, value, message.data()); status != 0)
        return failure("WritePort", status, &message, device::WriteErrorText);
    return std::nullopt;
}

} // namespace

bool ListedText::operator==(const ListedText &other) const {
    // The texts up to their ends only: what a library leaves past them means nothing.
    return count == other.count && device::boundedText(serials) == device::boundedText(other.serials) &&
           device::boundedText(descriptions) == device::boundedText(other.descriptions);
}

device::Listing ListedText::listing() const {
    return device::readListing(count, device::boundedText(serials), device::boundedText(descriptions));
}

Outcome listDevices(ListedText &listed) {
    listed = {};
    if (const std::int32_t status =
            ListDevices(&listed.count, listed.serials.data(), listed.descriptions.data());
        status != 0)
        return failure("ListDevices", status, nullptr, device::ListErrorText);
    return std::nullopt;
}

Outcome readState(const device::SerialNumberBuffer &serial, PortState &state) {
    return transaction(serial, [&](DeviceHandle handle, device::MessageBuffer &message) {
        return readAll(handle, message, state);
    });
}

Outcome readVersion(const device::SerialNumberBuffer &serial, std::string &version) {
    return transaction(serial, [&](DeviceHandle handle, device::MessageBuffer &message) -> Outcome {
        device::VersionBuffer buffer{};
        if (const std::int32_t status = GetSWVersion(handle, buffer.data(), message.data()); status != 0)
            return failure("GetSWVersion", status, &message, device::VersionErrorText);
        version = device::utf8FromLatin1(device::boundedText(buffer));
        return std::nullopt;
    });
}

Outcome writePorts(const device::SerialNumberBuffer &serial, const std::vector<PortWrite> &writes,
                   PortState &state) {
    return transaction(serial, [&](DeviceHandle handle, device::MessageBuffer &message) -> Outcome {
        for (const PortWrite &each : writes)
            if (Outcome outcome = write(handle, message, each.port, each.value))
                return outcome;
        return readAll(handle, message, state);
    });
}

Outcome writeBit(const device::SerialNumberBuffer &serial, const BitWrite &bitWrite, PortState &state) {
    return transaction(serial, [&](DeviceHandle handle, device::MessageBuffer &message) -> Outcome {
        std::uint8_t value = 0;
        if (const std::int32_t status = ReadPort(handle, bitWrite.port, &value, message.data()); status != 0)
            return failure("ReadPort", status, &message, device::ReadErrorText);
        const auto mask = static_cast<std::uint8_t>(1u << bitWrite.bit);
        value = bitWrite.on ? (value | mask) : (value & ~mask);
        if (Outcome outcome = write(handle, message, bitWrite.port, value))
            return outcome;
        return readAll(handle, message, state);
    });
}

} // namespace mqtt
