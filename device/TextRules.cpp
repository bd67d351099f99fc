#include "TextRules.h"

#include <algorithm>

namespace device {

namespace {

bool hasControlByte(std::string_view bytes) {
    return std::any_of(bytes.begin(), bytes.end(),
                       [](char c) { return isControlByte(static_cast<unsigned char>(c)); });
}

bool hasComma(std::string_view bytes) {
    return bytes.find(',') != std::string_view::npos;
}

} // namespace

std::optional<std::string> serialProblem(std::string_view bytes) {
    if (bytes.empty())
        return "a serial number cannot be empty";
    if (bytes.size() > MaxSerialBytes)
        return "a serial number has at most 19 bytes";
    if (hasComma(bytes))
        return "a serial number cannot hold a comma";
    if (hasControlByte(bytes))
        return "a serial number cannot hold a control character";
    return std::nullopt;
}

std::optional<std::string> descriptionProblem(std::string_view bytes) {
    if (bytes.size() > MaxDescriptionBytes)
        return "a description has at most 1023 bytes";
    if (hasComma(bytes))
        return "a description cannot hold a comma";
    if (hasControlByte(bytes))
        return "a description cannot hold a control character";
    return std::nullopt;
}

std::optional<std::string> versionProblem(std::string_view bytes) {
    if (bytes.size() > MaxVersionBytes)
        return "a version has at most 9 bytes";
    if (hasControlByte(bytes))
        return "a version cannot hold a control character";
    return std::nullopt;
}

std::optional<std::string> messageProblem(std::string_view bytes) {
    if (bytes.size() > MaxMessageBytes)
        return "a message has at most 255 bytes";
    if (hasControlByte(bytes))
        return "a message cannot hold a control character";
    return std::nullopt;
}

std::optional<std::string> latin1FromUtf8(std::string_view utf8) {
    std::string latin1;
    latin1.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            latin1 += static_cast<char>(byte);
            continue;
        }
        // Only U+0080..U+00FF have a single byte: lead byte 0xC2 or 0xC3 and one continuation byte.
        if ((byte != 0xC2 && byte != 0xC3) || i + 1 >= utf8.size())
            return std::nullopt;
        const auto next = static_cast<unsigned char>(utf8[++i]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        latin1 += static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F));
    }
    return latin1;
}

std::string utf8FromLatin1(std::string_view latin1) {
    std::string utf8;
    utf8.reserve(latin1.size());
    for (char c : latin1) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

void appendHexEscape(std::string &text, unsigned char byte) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    text += "\\x";
    text += Hex[byte >> 4];
    text += Hex[byte & 0x0F];
}

std::string escapeText(std::string_view bytes) {
    std::string escaped;
    escaped.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControlByte(byte) || c == '\\')
            appendHexEscape(escaped, byte);
        else
            escaped += c;
    }
    return escaped;
}

std::string printableText(std::string_view bytes) {
    return utf8FromLatin1(escapeText(bytes));
}

} // namespace device
