#include "SimState.h"

#include <algorithm>
#include <ctime>
#include <sys/random.h>
#include <utility>

#include "TextRules.h"
#include "kavren.h"

namespace sim {

namespace {

constexpr std::array<std::string_view, ModeCount> ModeNames{"loopback", "counting", "manual"};
constexpr std::array<std::string_view, AllOperations.size()> OperationNames{
    "ListDevices", "OpenDevice", "CloseDevice", "GetSWVersion", "ReadPort", "WritePort"};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, {}, lower, lower);
}

// A rule for the device goes before one for all devices.
const Rule *findRule(const State &state, Operation operation, std::string_view serial, bool fault) {
    const Rule *forAll = nullptr;
    for (const Rule &rule : state.rules) {
        if (rule.operation != operation || (fault ? !rule.fails : rule.delayMs == 0))
            continue;
        if (!serial.empty() && rule.serial == serial)
            return &rule;
        if (rule.serial.empty())
            forAll = &rule;
    }
    return forAll;
}

// A fault fails always or a counted number of times, never zero times; a rule that neither fails nor
// delays has no business in the file.
bool soundRule(const Rule &rule) {
    const bool counted = rule.fails && !rule.always;
    return (rule.serial.empty() || !device::serialProblem(rule.serial)) && rule.delayMs <= MaxDelayMs &&
           !device::messageProblem(rule.message) && (rule.remaining > 0) == counted &&
           (rule.fails ? rule.status != 0 : rule.delayMs > 0 && !rule.always);
}

std::uint32_t randomGeneration() {
    std::uint32_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) { // a kernel still without entropy
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        value = static_cast<std::uint32_t>(now.tv_sec * 1000000000 + now.tv_nsec);
    }
    return value;
}

} // namespace

std::string_view modeName(Mode mode) {
    return ModeNames[static_cast<std::size_t>(mode)];
}

std::optional<Mode> parseMode(std::string_view text) {
    for (std::size_t i = 0; i < ModeNames.size(); ++i)
        if (ModeNames[i] == text)
            return static_cast<Mode>(i);
    return std::nullopt;
}

std::string_view operationName(Operation operation) {
    return OperationNames[static_cast<std::size_t>(operation)];
}

std::optional<Operation> parseOperation(std::string_view text) {
    for (std::size_t i = 0; i < OperationNames.size(); ++i)
        if (sameIgnoringCase(OperationNames[i], text))
            return static_cast<Operation>(i);
    return std::nullopt;
}

bool hasMessage(Operation operation) {
    return operation == Operation::GetSWVersion || operation == Operation::ReadPort ||
           operation == Operation::WritePort;
}

const Device *State::find(std::string_view serial) const {
    const auto found = std::ranges::find(devices, serial, &Device::serial);
    return found == devices.end() ? nullptr : &*found;
}

Device *State::find(std::string_view serial) {
    return const_cast<Device *>(std::as_const(*this).find(serial));
}

Rule &State::ruleFor(Operation operation, std::string_view serial) {
    for (Rule &rule : rules)
        if (rule.operation == operation && rule.serial == serial)
            return rule;
    Rule &rule = rules.emplace_back();
    rule.operation = operation;
    rule.serial = serial;
    return rule;
}

void State::dropIdleRules() {
    std::erase_if(rules, [](const Rule &rule) { return !rule.fails && rule.delayMs == 0; });
}

std::uint32_t State::delayFor(Operation operation, std::string_view serial) const {
    const Rule *rule = findRule(*this, operation, serial, false);
    return rule == nullptr ? 0 : rule->delayMs;
}

const Rule *State::faultFor(Operation operation, std::string_view serial) const {
    return findRule(*this, operation, serial, true);
}

Rule *State::faultFor(Operation operation, std::string_view serial) {
    return const_cast<Rule *>(std::as_const(*this).faultFor(operation, serial));
}

void State::plug(Device &device, bool plugIn) {
    if (plugIn && !device.plugged) {
        device.outputs = {}; // a device that comes back starts as at power-up
        device.generation = nextGeneration++;
    }
    device.plugged = plugIn;
}

std::uint8_t inputValue(const Device &device, std::size_t index) {
    switch (device.mode) {
    case Mode::Loopback:
        return device.outputs[index];
    case Mode::Manual:
        return device.inputs[index];
    case Mode::Counting:
        break;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto elapsedMs =
        static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
    if (index == 0)
        return static_cast<std::uint8_t>(elapsedMs / 250);           // counts up every 250 ms
    return static_cast<std::uint8_t>(1u << ((elapsedMs / 500) % 8)); // one lit bit walks every 500 ms
}

State defaultState() {
    State state;
    state.nextGeneration = randomGeneration();
    const auto add = [&](const char *serial, const char *description, Mode mode) {
        Device &device = state.devices.emplace_back();
        device.serial = serial;
        device.description = description;
        device.mode = mode;
        device.generation = state.nextGeneration++;
    };
    add("DIO-SIM-0001", "Simulated USB DIO - outputs wired to inputs", Mode::Loopback);
    add("DIO-SIM-0002", "Simulated USB DIO - counting inputs", Mode::Counting);
    return state;
}

std::optional<std::string> listProblem(const State &state) {
    std::size_t serialBytes = 0, descriptionBytes = 0; // each with its comma, the first one's is the NUL
    for (const Device &device : state.devices) {
        serialBytes += device.serial.size() + 1;
        descriptionBytes += device.description.size() + 1;
    }
    if (serialBytes > KAVREN_SERIAL_LIST_SIZE)
        return "the serial numbers of all devices would not fit the 512-byte list";
    if (descriptionBytes > KAVREN_DESCRIPTION_LIST_SIZE)
        return "the descriptions of all devices would not fit the 1024-byte list";
    return std::nullopt;
}

std::optional<std::string> stateProblem(const State &state) {
    std::vector<std::string_view> serials;
    for (const Device &device : state.devices) {
        if (device::serialProblem(device.serial) || device::descriptionProblem(device.description) ||
            device::versionProblem(device.version))
            return "a device record is damaged";
        serials.push_back(device.serial);
    }
    std::ranges::sort(serials);
    if (std::ranges::adjacent_find(serials) != serials.end())
        return "two devices share a serial number";
    if (listProblem(state))
        return "the device lists are too long";
    if (state.rules.size() > MaxRules)
        return "too many faults and delays";
    if (!std::ranges::all_of(state.rules, soundRule))
        return "a fault record is damaged";
    return std::nullopt;
}

} // namespace sim
