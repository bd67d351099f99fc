// Arguments as an operator types them, checked by one set of rules for both tools. The *Argument
// functions throw CLI::ValidationError with the reason, which the command line reports as bad usage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// "0x5A", "90" or "0b01011010" (prefixes in either case), 0 to 255; anything else, including signs,
// spaces, an empty text or a bare prefix, is no byte.
std::optional<std::uint8_t> parseByte(std::string_view text);
// A decimal whole number from low to high, with an optional minus sign and nothing else around it.
std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t low, std::int64_t high);

// How the tools print a port number or value: "0x5A", two upper-case hex digits.
std::string formatByte(std::uint8_t value);

std::uint8_t byteArgument(const std::string &text);
std::int64_t integerArgument(const std::string &text, const std::string &name, std::int64_t low,
                             std::int64_t high);

enum class DeviceText { Serial, Description, Version, Message };
// The single-byte form of a device text typed in the locale's UTF-8, when it keeps the rule for its kind.
std::string deviceTextArgument(const std::string &utf8, DeviceText kind);

} // namespace cli
