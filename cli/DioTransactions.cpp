#include "DioTransactions.h"

#include <algorithm>
#include <functional>

#include "Arguments.h"
#include "DeviceList.h"
#include "OperationTexts.h"
#include "TextRules.h"
#include "kavren.h"

namespace dio {

namespace {

using Failures = std::vector<std::string>;
using Body = std::function<Failures(DeviceHandle, device::MessageBuffer &)>;

// The library's message for a failed call, or the fixed text when it left none.
Failures callFailure(const device::MessageBuffer &message, const char *fallback) {
    const std::string text = device::printableText(device::boundedText(message));
    return {text.empty() ? fallback : text};
}

// Opens the device, runs the body with one message buffer for all its calls, and closes a device that
// opened, whatever the body did.
Failures transaction(const device::SerialNumberBuffer &serialNumber, const Body &body,
                     bool (*stopped)() = nullptr) {
    device::MessageBuffer message{};
    DeviceHandle handle = 0;
    if (OpenDevice(serialNumber.data(), &handle) != 0)
        return {device::OpenErrorText};
    Failures failures = stopped && stopped() ? Failures{} : body(handle, message);
    if (CloseDevice(handle) != 0)
        failures.emplace_back(device::CloseErrorText);
    return failures;
}

Failures readInto(DeviceHandle handle, device::MessageBuffer &message, const std::vector<std::uint8_t> &ports,
                  PortValues &values, bool (*stopped)() = nullptr) {
    std::uint8_t value = 0;
    for (const std::uint8_t port : ports) {
        if (ReadPort(handle, port, &value, message.data()) != 0)
            return callFailure(message, device::ReadErrorText);
        values.emplace_back(port, value);
        if (stopped && stopped())
            break;
    }
    return {};
}

} // namespace

Failures listDevices(Listing &listing) {
    device::SerialListBuffer serialNumbers{};
    device::DescriptionListBuffer descriptions{};
    std::int32_t count = 0;
    if (ListDevices(&count, serialNumbers.data(), descriptions.data()) != 0)
        return {device::ListErrorText};
    listing =
        device::readListing(count, device::boundedText(serialNumbers), device::boundedText(descriptions));
    return {};
}

Failures readPorts(const device::SerialNumberBuffer &serialNumber, const std::vector<std::uint8_t> &ports,
                   PortValues &values, bool (*stopped)(), const std::function<void()> &read) {
    return transaction(
        serialNumber,
        [&](DeviceHandle handle, device::MessageBuffer &message) {
            Failures failures = readInto(handle, message, ports, values, stopped);
            if (failures.empty() && read)
                read();
            return failures;
        },
        stopped);
}

Failures writePorts(const device::SerialNumberBuffer &serialNumber, const PortValues &writes,
                    PortValues &readBack) {
    std::vector<std::uint8_t> written;
    for (const auto &[port, value] : writes)
        if (std::find(written.begin(), written.end(), port) == written.end())
            written.push_back(port);
    return transaction(serialNumber, [&](DeviceHandle handle, device::MessageBuffer &message) -> Failures {
        for (const auto &[port, value] : writes)
            if (WritePort(handle, port, value, message.data()) != 0)
                return callFailure(message, device::WriteErrorText);
        if (Failures failures = readInto(handle, message, written, readBack); !failures.empty())
            return failures;
        for (const auto &[port, value] : readBack) {
            const auto last = std::find_if(writes.rbegin(), writes.rend(),
                                           [port = port](const auto &write) { return write.first == port; });
            if (last->second != value)
                return {"port " + cli::formatByte(port) + " reads back " + cli::formatByte(value) +
                        " after " + cli::formatByte(last->second) + " was written"};
        }
        return {};
    });
}

Failures readVersion(const device::SerialNumberBuffer &serialNumber, std::string &version) {
    device::VersionBuffer buffer{};
    return transaction(serialNumber, [&](DeviceHandle handle, device::MessageBuffer &message) -> Failures {
        if (GetSWVersion(handle, buffer.data(), message.data()) != 0)
            return callFailure(message, device::VersionErrorText);
        version = device::boundedText(buffer);
        return {};
    });
}

} // namespace dio
