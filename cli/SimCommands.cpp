#include "SimCommands.h"

#include <cstdio>
#include <functional>

#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "TextRules.h"

namespace dio_sim {

namespace {

using sim::Device;
using sim::Rule;
using sim::State;

Result badUsage(std::string message) {
    return {Outcome::BadUsage, std::move(message), {}};
}

// Runs a change under the state's lock. `change` returns a bad-usage reason to leave the state alone.
Result change(sim::StateFile &file, const std::function<std::optional<std::string>(State &)> &edit) {
    std::optional<std::string> refused;
    std::string error;
    const bool ok = file.update(
        [&](State &state) {
            refused = edit(state);
            return !refused.has_value();
        },
        error);
    if (refused)
        return badUsage(*refused);
    if (!ok)
        return {Outcome::Failed, error, {}};
    return {};
}

std::string shown(const std::string &text) {
    return device::printableText(text);
}

using Json = nlohmann::json; // objects keep their keys sorted

Json jsonText(const std::string &latin1) {
    return device::utf8FromLatin1(latin1);
}

std::string unknownDevice(const std::string &serial) {
    return "there is no device " + shown(serial);
}

std::string target(const Rule &rule) {
    return rule.serial.empty() ? "every device" : shown(rule.serial);
}

std::string statusText(const State &state) {
    std::string out;
    for (const Device &device : state.devices) {
        char line[256];
        std::snprintf(line, sizeof line, "%-19s  %-9s  %-8s  inputs %s %s  outputs %s %s  ",
                      shown(device.serial).c_str(), device.plugged ? "plugged" : "unplugged",
                      std::string(sim::modeName(device.mode)).c_str(),
                      cli::formatByte(sim::inputValue(device, 0)).c_str(),
                      cli::formatByte(sim::inputValue(device, 1)).c_str(),
                      cli::formatByte(device.outputs[0]).c_str(), cli::formatByte(device.outputs[1]).c_str());
        out += line + shown(device.description) + "\n";
    }
    if (state.rules.empty())
        out += "no faults or delays\n";
    for (const Rule &rule : state.rules) {
        const std::string operation(sim::operationName(rule.operation));
        if (rule.fails) {
            out += "fault " + operation + " on " + target(rule) + ": " +
                   (rule.always ? std::string("every call")
                                : "next " + std::to_string(rule.remaining) + " call(s)") +
                   " fail(s) with status " + std::to_string(rule.status);
            if (sim::hasMessage(rule.operation))
                out += " and message \"" + shown(rule.message) + "\"";
            out += "\n";
        }
        if (rule.delayMs > 0)
            out +=
                "delay " + operation + " on " + target(rule) + ": " + std::to_string(rule.delayMs) + " ms\n";
    }
    return out;
}

// Four spaces a level, members on lines of their own, an empty array as "[\n<indent>]" and a newline at the
// end: the layout dio-sim has always printed, which scripts may compare byte for byte.
void writeIndented(const Json &value, std::size_t depth, std::string &out) {
    if (!value.is_structured()) {
        out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
        return;
    }
    out += value.is_object() ? "{\n" : "[\n";
    for (auto member = value.begin(); member != value.end(); ++member) {
        out.append(4 * (depth + 1), ' ');
        if (value.is_object())
            out += Json(member.key()).dump() + ": ";
        writeIndented(*member, depth + 1, out);
        out += std::next(member) == value.end() ? "\n" : ",\n";
    }
    out.append(4 * depth, ' ');
    out += value.is_object() ? "}" : "]";
}

std::string statusJson(const State &state, const std::string &path) {
    Json devices = Json::array(), faults = Json::array(), delays = Json::array();
    for (const Device &device : state.devices) {
        devices.push_back({
            {"serial", jsonText(device.serial)},
            {"plugged", device.plugged},
            {"mode", sim::modeName(device.mode)},
            {"inputs", {sim::inputValue(device, 0), sim::inputValue(device, 1)}},
            {"outputs", {device.outputs[0], device.outputs[1]}},
            {"version", jsonText(device.version)},
            {"description", jsonText(device.description)},
        });
    }
    for (const Rule &rule : state.rules) {
        const Json serial = rule.serial.empty() ? Json() : jsonText(rule.serial);
        const std::string operation(sim::operationName(rule.operation));
        if (rule.fails) {
            Json fault{{"operation", operation},
                       {"serial", serial},
                       {"always", rule.always},
                       {"times", rule.always ? Json() : Json(rule.remaining)},
                       {"status", rule.status}};
            if (sim::hasMessage(rule.operation))
                fault["message"] = jsonText(rule.message);
            faults.push_back(std::move(fault));
        }
        if (rule.delayMs > 0)
            delays.push_back({{"operation", operation}, {"serial", serial}, {"milliseconds", rule.delayMs}});
    }
    // The path's bytes as the locale's text; bytes that are no UTF-8 become U+FFFD.
    const Json document{{"file", path}, {"devices", devices}, {"faults", faults}, {"delays", delays}};
    std::string out;
    writeIndented(document, 0, out);
    return cli::escapeJsonControls(out + "\n");
}

std::optional<std::string> knownOrAll(const State &state, const std::string &serial) {
    if (!serial.empty() && state.find(serial) == nullptr)
        return unknownDevice(serial);
    return std::nullopt;
}

} // namespace

Result status(sim::StateFile &file, bool json) {
    std::string error;
    const auto state = file.load(error);
    if (!state)
        return {Outcome::Failed, error, {}};
    return {Outcome::Done, {}, json ? statusJson(*state, file.path()) : statusText(*state)};
}

Result reset(sim::StateFile &file) {
    std::string error;
    if (!file.reset(error))
        return {Outcome::Failed, error, {}};
    return {};
}

Result add(sim::StateFile &file, const NewDevice &added) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        if (state.find(added.serial) != nullptr)
            return "there is already a device " + shown(added.serial);
        Device &device = state.devices.emplace_back();
        device.serial = added.serial;
        device.description = added.description;
        device.mode = added.mode;
        device.version = added.version;
        device.generation = state.nextGeneration++;
        if (auto problem = sim::listProblem(state))
            return "cannot add " + shown(added.serial) + ": " + *problem;
        return std::nullopt;
    });
}

Result remove(sim::StateFile &file, const std::string &serial) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        if (state.find(serial) == nullptr)
            return unknownDevice(serial);
        std::erase_if(state.devices, [&](const Device &device) { return device.serial == serial; });
        std::erase_if(state.rules, [&](const Rule &rule) { return rule.serial == serial; });
        return std::nullopt;
    });
}

Result plug(sim::StateFile &file, const std::string &serial, bool plugIn) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        Device *device = state.find(serial);
        if (device == nullptr)
            return unknownDevice(serial);
        state.plug(*device, plugIn);
        return std::nullopt;
    });
}

Result set(sim::StateFile &file, const std::string &serial, std::uint8_t port, std::uint8_t value) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        Device *device = state.find(serial);
        if (device == nullptr)
            return unknownDevice(serial);
        if (device->mode != sim::Mode::Manual)
            return "device " + shown(serial) + " is in " + std::string(sim::modeName(device->mode)) +
                   " mode; only the inputs of a manual device can be set";
        if (port > 0x01)
            return "port " + cli::formatByte(port) + " is not an input port: give 0x00 or 0x01";
        device->inputs[port] = value;
        return std::nullopt;
    });
}

Result fail(sim::StateFile &file, const Fault &fault) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        if (auto unknown = knownOrAll(state, fault.serial))
            return unknown;
        Rule &rule = state.ruleFor(fault.operation, fault.serial);
        rule.fails = true;
        rule.always = fault.always;
        rule.remaining = fault.always ? 0 : fault.times;
        rule.status = fault.status;
        rule.message = sim::hasMessage(fault.operation) ? fault.message : std::string();
        if (state.rules.size() > sim::MaxRules)
            return "at most " + std::to_string(sim::MaxRules) +
                   " faults and delays can wait; run dio-sim clear";
        return std::nullopt;
    });
}

Result delay(sim::StateFile &file, sim::Operation operation, std::uint32_t milliseconds,
             const std::string &serial) {
    return change(file, [&](State &state) -> std::optional<std::string> {
        if (auto unknown = knownOrAll(state, serial))
            return unknown;
        state.ruleFor(operation, serial).delayMs = milliseconds;
        state.dropIdleRules();
        if (state.rules.size() > sim::MaxRules)
            return "at most " + std::to_string(sim::MaxRules) +
                   " faults and delays can wait; run dio-sim clear";
        return std::nullopt;
    });
}

Result clear(sim::StateFile &file) {
    return change(file, [](State &state) -> std::optional<std::string> {
        state.rules.clear();
        return std::nullopt;
    });
}

} // namespace dio_sim
