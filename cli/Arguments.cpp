#include "Arguments.h"

#include <charconv>
#include <cstdio>

#include <CLI/Error.hpp>

#include "Console.h"
#include "TextRules.h"

namespace cli {

namespace {

bool hasPrefix(std::string_view text, char lower) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == lower || text[1] == lower - ('a' - 'A'));
}

// The whole text as a number; from_chars stops early on junk and takes a minus for signed types only.
template <typename Number> std::optional<Number> wholeNumber(std::string_view text, int base) {
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// An argument as it is shown in a message: a device text's controls and backslashes escaped.
std::string shown(const std::string &utf8) {
    const auto latin1 = device::latin1FromUtf8(utf8);
    return latin1 ? device::printableText(*latin1) : oneLine(utf8);
}

} // namespace

std::optional<std::uint8_t> parseByte(std::string_view text) {
    int base = 10;
    if (hasPrefix(text, 'x') || hasPrefix(text, 'b')) {
        base = hasPrefix(text, 'x') ? 16 : 2;
        text.remove_prefix(2);
    }
    const auto value = wholeNumber<unsigned>(text, base);
    if (!value || *value > 0xFF)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t low, std::int64_t high) {
    const auto value = wholeNumber<std::int64_t>(text, 10);
    if (!value || *value < low || *value > high)
        return std::nullopt;
    return value;
}

std::string formatByte(std::uint8_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::uint8_t byteArgument(const std::string &text) {
    if (const auto value = parseByte(text))
        return *value;
    throw CLI::ValidationError("'" + shown(text) + "' is not a byte: give 0-255 as 0x5A, 90 or 0b01011010");
}

std::int64_t integerArgument(const std::string &text, const std::string &name, std::int64_t low,
                             std::int64_t high) {
    if (const auto value = parseInteger(text, low, high))
        return *value;
    throw CLI::ValidationError(name + " must be a whole number from " + std::to_string(low) + " to " +
                               std::to_string(high) + ", not '" + shown(text) + "'");
}

std::string deviceTextArgument(const std::string &utf8, DeviceText kind) {
    static constexpr struct {
        const char *what;
        std::optional<std::string> (*problem)(std::string_view);
    } Rules[] = {{"the serial number", device::serialProblem},
                 {"the description", device::descriptionProblem},
                 {"the version", device::versionProblem},
                 {"the message", device::messageProblem}};
    const auto &rule = Rules[static_cast<int>(kind)];
    const auto latin1 = device::latin1FromUtf8(utf8);
    if (!latin1)
        throw CLI::ValidationError(std::string(rule.what) + " '" + shown(utf8) +
                                   "' holds a character without a single-byte form");
    if (auto problem = rule.problem(*latin1))
        throw CLI::ValidationError(*problem + ": '" + device::printableText(*latin1) + "'");
    return *latin1;
}

} // namespace cli
