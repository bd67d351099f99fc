// What the simulated devices are: the devices with their ports, modes and plugs, and the faults and
// delays waiting for the operations, with the rule for a sound state. Shared by the simulated library and
// the tool that drives it; the file format is StateFormat's business, the file StateFile's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Mode : std::uint8_t { Loopback, Counting, Manual };
inline constexpr std::size_t ModeCount = 3;

enum class Operation : std::uint8_t {
    ListDevices,
    OpenDevice,
    CloseDevice,
    GetSWVersion,
    ReadPort,
    WritePort
};

inline constexpr std::array<Operation, 6> AllOperations{Operation::ListDevices, Operation::OpenDevice,
                                                        Operation::CloseDevice, Operation::GetSWVersion,
                                                        Operation::ReadPort,    Operation::WritePort};

std::string_view modeName(Mode mode);
std::optional<Mode> parseMode(std::string_view text); // exact lower-case name
std::string_view operationName(Operation operation);
std::optional<Operation> parseOperation(std::string_view text); // any case
// ListDevices, OpenDevice and CloseDevice have no message buffer.
bool hasMessage(Operation operation);

inline constexpr std::uint32_t MaxDelayMs = 10000;
inline constexpr std::size_t MaxRules = 64;

struct Device {
    std::string serial; // single-byte texts, as they cross the device interface
    std::string description;
    std::string version = "1.0-sim";
    Mode mode = Mode::Loopback;
    bool plugged = true;
    std::array<std::uint8_t, 2> inputs{};  // what a manual device's ports 0x00 and 0x01 hold
    std::array<std::uint8_t, 2> outputs{}; // latches of ports 0x10 and 0x11
    std::uint32_t generation = 0;          // changes on every plug, so old handles can tell
};

// A delay and/or a fault for one operation, on one device (serial) or on all (empty serial).
struct Rule {
    Operation operation = Operation::ListDevices;
    std::string serial;
    std::uint32_t delayMs = 0;
    bool fails = false;
    bool always = false;
    std::uint32_t remaining = 0; // calls left to fail, when not always
    std::int32_t status = 1;
    std::string message;
};

struct State {
    std::vector<Device> devices;
    std::vector<Rule> rules;
    std::uint32_t nextGeneration = 1;

    Device *find(std::string_view serial);
    const Device *find(std::string_view serial) const;
    Rule &ruleFor(Operation operation, std::string_view serial); // adds an empty one when missing
    void dropIdleRules();
    // The delay that applies to a call; a rule for the device goes before one for all devices.
    std::uint32_t delayFor(Operation operation, std::string_view serial) const;
    // The fault that applies to a call, or nothing.
    Rule *faultFor(Operation operation, std::string_view serial);
    const Rule *faultFor(Operation operation, std::string_view serial) const;
    void plug(Device &device, bool plugged);
};

// What input port 0x00 (index 0) or 0x01 (index 1) of a device shows now. Counting devices run on the
// machine's monotonic clock, which every process shares, so all of them see the same count.
std::uint8_t inputValue(const Device &device, std::size_t index);

// The two devices a new state starts with. Their generations start at a random number, so a handle
// opened before a reset never matches a device after it.
State defaultState();

// Why the lists of every device (plugged or not) would not fit the list buffers, or nothing.
std::optional<std::string> listProblem(const State &state);
// Why a state cannot be trusted (texts, limits, faults that make no sense), or nothing.
std::optional<std::string> stateProblem(const State &state);

} // namespace sim
