// The one rule for the texts that cross the device interface, shared by the simulator, the command-line
// tools, the Python module and every printer of a library text. Texts are single bytes (Latin-1).
//
// A serial number: 1-19 bytes, no comma, no control character. A description: no comma, no control
// character, shorter than the description list. A version: at most 9 bytes, a message at most 255, neither
// with a control character. Control characters are the bytes 0x00-0x1F and 0x7F-0x9F.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace device {

inline constexpr std::size_t MaxSerialBytes = 19;
inline constexpr std::size_t MaxDescriptionBytes = 1023;
inline constexpr std::size_t MaxVersionBytes = 9;
inline constexpr std::size_t MaxMessageBytes = 255;

constexpr bool isControlByte(unsigned char byte) {
    return byte <= 0x1F || (byte >= 0x7F && byte <= 0x9F);
}

// Why a text breaks the rule, as a phrase ("a serial number cannot hold a comma"), or nothing.
std::optional<std::string> serialProblem(std::string_view bytes);
std::optional<std::string> descriptionProblem(std::string_view bytes);
std::optional<std::string> versionProblem(std::string_view bytes);
std::optional<std::string> messageProblem(std::string_view bytes);

// The single-byte form of a UTF-8 text, or nothing when it is not UTF-8 or has a character above U+00FF.
std::optional<std::string> latin1FromUtf8(std::string_view utf8);
// The UTF-8 form of single-byte text.
std::string utf8FromLatin1(std::string_view latin1);

// A library text made safe for a line of text output: control bytes and the backslash become \xHH
// (upper-case hex), so a text can neither end a line nor reach a terminal as a command.
std::string escapeText(std::string_view bytes);
// Appends the byte as \xHH (upper-case hex), the escape that text output uses.
void appendHexEscape(std::string &text, unsigned char byte);
// A library text as a line of text output shows it: escaped as above, then as UTF-8.
std::string printableText(std::string_view bytes);

} // namespace device
