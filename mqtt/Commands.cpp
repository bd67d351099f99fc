#include "Commands.h"

#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "Arguments.h"

namespace mqtt {

namespace {

std::optional<std::uint8_t> outputPort(std::string_view text) {
    const auto port = cli::parseByte(text);
    if (port && std::find(std::begin(OutputPorts), std::end(OutputPorts), *port) != std::end(OutputPorts))
        return port;
    return std::nullopt;
}

std::string portProblem(std::string_view text) {
    const auto port = cli::parseByte(text);
    if (port && (*port == 0x00 || *port == 0x01))
        return "port " + cli::formatByte(*port) + " is an input port; only 0x10 and 0x11 can be set";
    return "unknown port; give 0x10 or 0x11";
}

std::optional<std::string> sizeProblem(std::string_view payload) {
    if (payload.size() > MaxCommandBytes)
        return "the payload is longer than 1024 bytes";
    return std::nullopt;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
    return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

} // namespace

std::variant<std::vector<PortWrite>, Refusal> parsePortCommand(std::string_view payload) {
    if (auto problem = sizeProblem(payload))
        return Refusal{*problem};
    // The parser takes a NUL byte for the end of its input and would apply what stands before it; JSON
    // text never holds one.
    if (payload.find('\0') != std::string_view::npos)
        return Refusal{"the payload is not JSON"};
    // The parser keeps one of two equal keys; they are counted here so that neither is silently dropped.
    std::size_t topLevelKeys = 0;
    const auto countKeys = [&topLevelKeys](int depth, nlohmann::json::parse_event_t event, nlohmann::json &) {
        if (depth == 1 && event == nlohmann::json::parse_event_t::key)
            ++topLevelKeys;
        return true;
    };
    const nlohmann::json command = nlohmann::json::parse(payload, countKeys, false);
    if (command.is_discarded())
        return Refusal{"the payload is not JSON"};
    if (command.is_object() && topLevelKeys != command.size())
        return Refusal{"a port is named twice"};
    if (!command.is_object() || command.empty())
        return Refusal{"the payload must be a JSON object of output ports to values, e.g. {\"0x10\": 165}"};
    std::vector<PortWrite> writes;
    for (const auto &[key, value] : command.items()) {
        const auto port = outputPort(key);
        if (!port)
            return Refusal{portProblem(key)};
        if (std::any_of(writes.begin(), writes.end(), [&](const PortWrite &w) { return w.port == *port; }))
            return Refusal{"port " + cli::formatByte(*port) + " is named twice"};
        if (!value.is_number_integer() || value.get<std::int64_t>() < 0 || value.get<std::int64_t>() > 255 ||
            (value.is_number_unsigned() && value.get<std::uint64_t>() > 255))
            return Refusal{"the value for port " + cli::formatByte(*port) +
                           " must be a whole number from 0 to 255"};
        writes.push_back({*port, static_cast<std::uint8_t>(value.get<std::int64_t>())});
    }
    return writes;
}

std::variant<BitWrite, Refusal> parseBitCommand(std::string_view port, std::string_view bit,
                                                std::string_view payload) {
    if (auto problem = sizeProblem(payload))
        return Refusal{*problem};
    const auto outputPortNumber = outputPort(port);
    if (!outputPortNumber)
        return Refusal{portProblem(port)};
    if (bit.size() != 1 || bit[0] < '0' || bit[0] > '7')
        return Refusal{"unknown bit; give 0 to 7"};
    BitWrite write{*outputPortNumber, bit[0] - '0', false};
    if (equalsIgnoringCase(payload, "on") || payload == "1" || equalsIgnoringCase(payload, "true"))
        write.on = true;
    else if (!equalsIgnoringCase(payload, "off") && payload != "0" && !equalsIgnoringCase(payload, "false"))
        return Refusal{"the payload must be ON or OFF (or 1/0, true/false)"};
    return write;
}

} // namespace mqtt
