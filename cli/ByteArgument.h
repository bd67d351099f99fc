// Port numbers and port values as an operator types them on a command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// "0x5A", "90" or "0b01011010" (prefixes in either case), 0 to 255; anything else, including signs,
// spaces, an empty text or a bare prefix, is no byte.
std::optional<std::uint8_t> parseByte(std::string_view text);

// How the tools print a port number or value: "0x5A", two upper-case hex digits.
std::string formatByte(std::uint8_t value);

} // namespace cli
