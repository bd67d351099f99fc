#include "DioFormat.h"

#include <ctime>

#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "Console.h"
#include "TextRules.h"

namespace dio {

namespace {

using Json = nlohmann::json; // objects keep their keys sorted, as the tools have always printed them

std::string portValue(std::uint8_t port, std::uint8_t value) {
    return cli::formatByte(port) + '=' + cli::formatByte(value);
}

Json portsObject(const PortValues &values) {
    Json ports = Json::object();
    for (const auto &[port, value] : values)
        ports[cli::formatByte(port)] = value; // a port asked twice is one key, with its last value
    return ports;
}

std::string compact(const Json &document) {
    return cli::escapeJsonControls(document.dump()) + '\n';
}

} // namespace

std::string listText(const Listing &listing) {
    std::string text;
    for (const ListedDevice &device : listing.devices)
        text += device::printableText(device.serialNumber) + '\t' +
                device::printableText(device.description) + '\n';
    return text;
}

std::string listJson(const Listing &listing) {
    Json devices = Json::array();
    for (const ListedDevice &device : listing.devices)
        devices.push_back({{"serial", device::utf8FromLatin1(device.serialNumber)},
                           {"description", device::utf8FromLatin1(device.description)}});
    return compact(devices);
}

std::string portsText(const PortValues &values) {
    std::string text;
    for (const auto &[port, value] : values)
        text += portValue(port, value) + '\n';
    return text;
}

std::string portsJson(std::string_view serialNumber, const PortValues &values) {
    return compact({{"serial", device::utf8FromLatin1(serialNumber)}, {"ports", portsObject(values)}});
}

std::string versionText(std::string_view version) {
    return device::printableText(version) + '\n';
}

std::string utcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(milliseconds % 1000));
    return text;
}

std::string watchText(const std::string &time, const PortValues &values) {
    std::string line = time;
    for (const auto &[port, value] : values)
        line += ' ' + portValue(port, value);
    return line + '\n';
}

std::string watchJson(const std::string &time, const PortValues &values) {
    return compact({{"time", time}, {"ports", portsObject(values)}});
}

} // namespace dio
