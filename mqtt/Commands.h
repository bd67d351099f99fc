// What a command on a device's set topics asks for, checked whole before anything is written: a command
// is either applied entirely or refused with the reason, which the bridge publishes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mqtt {

inline constexpr std::size_t MaxCommandBytes = 1024;
inline constexpr std::uint8_t OutputPorts[] = {0x10, 0x11};

struct PortWrite {
    std::uint8_t port;
    std::uint8_t value;
};
struct BitWrite {
    std::uint8_t port;
    int bit; // 0-7
    bool on;
};

struct Refusal {
    std::string reason;
};

// `<serial>/set`: a JSON object of one or both output ports ("0x10", "16", "0b00010000") to values 0-255.
std::variant<std::vector<PortWrite>, Refusal> parsePortCommand(std::string_view payload);

// `<serial>/set/<port>/<bit>`: ON/OFF, 1/0 or true/false for one output bit.
std::variant<BitWrite, Refusal> parseBitCommand(std::string_view port, std::string_view bit,
                                                std::string_view payload);

} // namespace mqtt
