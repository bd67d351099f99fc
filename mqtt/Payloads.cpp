#include "Payloads.h"

#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "TextRules.h"

namespace mqtt {

namespace {

using nlohmann::json;

// Topics from a peer may hold bytes that are no UTF-8; they are replaced rather than refused.
std::string dump(const json &document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A Home Assistant id may hold only letters, digits, '-' and '_': every other byte, and '_' itself, is
// written as _XX, so that two serial numbers never share an id.
std::string discoveryId(std::string_view serial) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string id;
    for (const char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            byte == '-') {
            id += c;
        } else {
            id += '_';
            id += hex[byte >> 4];
            id += hex[byte & 0xF];
        }
    }
    return id;
}

json discoveryDevice(const BridgedDevice &device, const std::string &id) {
    const std::string description = device::utf8FromLatin1(device.description);
    json entry = {{"identifiers", {"dio_" + id}},
                  {"name", description.empty() ? device::utf8FromLatin1(device.serial)
                                               : description + " " + device::utf8FromLatin1(device.serial)},
                  {"model", description},
                  {"serial_number", device::utf8FromLatin1(device.serial)}};
    if (!device.version.empty())
        entry["sw_version"] = device.version;
    return entry;
}

} // namespace

std::string topicLevelProblem(std::string_view serial) {
    if (serial.find_first_of("/+#") != std::string_view::npos)
        return "holds '/', '+' or '#', which a topic level cannot";
    if (serial == "bridge")
        return "is the name of the bridge's own topics";
    return {};
}

std::string Topics::device(std::string_view serial) const {
    return prefix + "/" + device::utf8FromLatin1(serial);
}

std::string stateJson(const PortState &state) {
    json document = json::object();
    for (std::size_t i = 0; i < StatePorts.size(); ++i)
        document[cli::formatByte(StatePorts[i])] = state[i];
    return dump(document);
}

std::string devicesJson(const std::vector<BridgedDevice> &devices) {
    json list = json::array();
    for (const BridgedDevice &device : devices)
        list.push_back({{"serial", device::utf8FromLatin1(device.serial)},
                        {"description", device::utf8FromLatin1(device.description)},
                        {"version", device.version}});
    return dump(list);
}

std::string failureJson(const CallFailure &failure) {
    return dump({{"operation", failure.operation}, {"status", failure.status}, {"message", failure.message}});
}

std::string refusalJson(std::string_view reason, std::string_view topic) {
    return dump({{"error", reason}, {"topic", topic}});
}

std::vector<std::pair<std::string, std::string>>
discoveryConfigs(const BridgedDevice &device, const Topics &topics, const std::string &discoveryPrefix) {
    const std::string id = discoveryId(device.serial);
    const std::string stateTopic = topics.device(device.serial);
    const json availability =
        json::array({{{"topic", topics.bridgeState()}}, {{"topic", topics.availability(device.serial)}}});
    std::vector<std::pair<std::string, std::string>> configs;
    for (const std::uint8_t port : StatePorts) {
        const bool output = port >= 0x10;
        const std::string portName = cli::formatByte(port);
        for (int bit = 0; bit < 8; ++bit) {
            const std::string objectId = "dio_" + id + "_" + portName + "_" + std::to_string(bit);
            json config = {
                {"name", (output ? "Output " : "Input ") + portName + " bit " + std::to_string(bit)},
                {"unique_id", objectId},
                {"object_id", objectId},
                {"state_topic", stateTopic},
                {"value_template", "{{ 'ON' if value_json['" + portName + "'] | int | bitwise_and(" +
                                       std::to_string(1 << bit) + ") else 'OFF' }}"},
                {"payload_on", "ON"},
                {"payload_off", "OFF"},
                {"availability", availability},
                {"availability_mode", "all"},
                {"device", discoveryDevice(device, id)}};
            if (output) {
                config["command_topic"] = stateTopic + "/set/" + portName + "/" + std::to_string(bit);
                config["state_on"] = "ON";
                config["state_off"] = "OFF";
            }
            const std::string component = output ? "switch" : "binary_sensor";
            configs.emplace_back(discoveryPrefix + "/" + component + "/dio_" + id + "/" + portName + "_" +
                                     std::to_string(bit) + "/config",
                                 dump(config));
        }
    }
    return configs;
}

} // namespace mqtt
