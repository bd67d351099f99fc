#include "ByteArgument.h"

#include <charconv>
#include <cstdio>

namespace cli {

namespace {

bool hasPrefix(std::string_view text, char lower) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == lower || text[1] == lower - ('a' - 'A'));
}

} // namespace

std::optional<std::uint8_t> parseByte(std::string_view text) {
    int base = 10;
    if (hasPrefix(text, 'x')) {
        base = 16;
        text.remove_prefix(2);
    } else if (hasPrefix(text, 'b')) {
        base = 2;
        text.remove_prefix(2);
    }
    // from_chars would accept a sign for a signed type and stop early on junk; both are refused here.
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return std::nullopt;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > 0xFF)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::string formatByte(std::uint8_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace cli
