// The topics and payloads the bridge publishes. Device texts arrive as single bytes and leave as UTF-8
// JSON strings, exact: every byte is one Latin-1 character.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DeviceCalls.h"

namespace mqtt {

struct BridgedDevice {
    std::string serial;      // the library's bytes
    std::string description; // the library's bytes
    std::string version;     // UTF-8, empty when it could not be read
};

// Why a serial number cannot be a topic level, or an empty text.
std::string topicLevelProblem(std::string_view serial);

struct Topics {
    std::string prefix;
    std::string bridgeState() const { return prefix + "/bridge/state"; }
    std::string bridgeDevices() const { return prefix + "/bridge/devices"; }
    std::string bridgeError() const { return prefix + "/bridge/error"; }
    std::string device(std::string_view serial) const; // <prefix>/<serial>, the serial as UTF-8
    std::string availability(std::string_view serial) const { return device(serial) + "/availability"; }
    std::string error(std::string_view serial) const { return device(serial) + "/error"; }
    std::string portCommands() const { return prefix + "/+/set"; }
    std::string bitCommands() const { return prefix + "/+/set/+/+"; }
};

std::string stateJson(const PortState &state);
std::string devicesJson(const std::vector<BridgedDevice> &devices);
std::string failureJson(const CallFailure &failure);
std::string refusalJson(std::string_view reason, std::string_view topic);

// Home Assistant discovery: a topic and its retained config for each input and output bit.
std::vector<std::pair<std::string, std::string>>
discoveryConfigs(const BridgedDevice &device, const Topics &topics, const std::string &discoveryPrefix);

} // namespace mqtt
