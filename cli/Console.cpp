#include "Console.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "TextRules.h"

namespace cli {

namespace {

constexpr char LowerHex[] = "0123456789abcdef"; // as Qt writes \u001b

bool isContinuation(std::string_view text, std::size_t at) {
    return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

// Whether the second byte keeps a sequence of this lead well formed: no longer form of a character that
// has a shorter one (a lenient terminal could read E0 82 9B as the C1 control CSI), no UTF-16 surrogate,
// nothing past U+10FFFF.
bool allowedSecond(unsigned char lead, unsigned char second) {
    switch (lead) {
    case 0xE0:
        return second >= 0xA0;
    case 0xED:
        return second < 0xA0;
    case 0xF0:
        return second >= 0x90;
    case 0xF4:
        return second < 0x90;
    default:
        return true;
    }
}

// The length of the well-formed UTF-8 sequence that starts the text, or 0 when none does.
std::size_t sequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF5 ? 3 + (lead >= 0xF0)
                                             : 0;
    for (std::size_t i = 1; i < length; ++i)
        if (!isContinuation(text, i))
            return 0;
    return length < 3 || allowedSecond(lead, static_cast<unsigned char>(text[1])) ? length : 0;
}

// Writes all of the text, or returns the errno that stopped it.
int writeAll(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

} // namespace

std::string oneLine(std::string_view utf8) {
    std::string line;
    line.reserve(utf8.size());
    while (!utf8.empty()) {
        const std::size_t length = sequenceLength(utf8);
        const auto lead = static_cast<unsigned char>(utf8[0]);
        if (length == 0 || (length == 1 && device::isControlByte(lead))) {
            device::appendHexEscape(line, lead);
            utf8.remove_prefix(1);
            continue;
        }
        const auto second = length == 2 ? static_cast<unsigned char>(utf8[1]) : 0u;
        if (lead == 0xC2 && second < 0xA0) // U+0080..U+009F, the C1 controls
            device::appendHexEscape(line, static_cast<unsigned char>(second));
        else
            line.append(utf8.substr(0, length));
        utf8.remove_prefix(length);
    }
    return line;
}

std::string escapeJsonControls(std::string_view json) {
    std::string escaped;
    escaped.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto byte = static_cast<unsigned char>(json[i]);
        const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0u;
        const bool c1 = byte == 0xC2 && next >= 0x80 && next < 0xA0;
        if (byte != 0x7F && !c1) {
            escaped += json[i];
            continue;
        }
        const unsigned code = c1 ? next : byte;
        escaped += "\\u00";
        escaped += LowerHex[code >> 4];
        escaped += LowerHex[code & 0x0F];
        i += c1 ? 1 : 0;
    }
    return escaped;
}

void Console::print(std::string_view text) {
    if (writeError_ == 0)
        writeError_ = writeAll(STDOUT_FILENO, text);
}

void Console::error(std::string_view message) {
    note(program_ + ": " + std::string(message));
}

void Console::note(std::string_view text) {
    writeAll(STDERR_FILENO, oneLine(text) + '\n'); // nowhere left to tell when stderr fails
}

void Console::usage(std::string_view message, std::string_view help) {
    error(message);
    writeAll(STDERR_FILENO, "\n" + std::string(help));
}

int Console::finish(Exit exit) {
    if (writeError_ == 0)
        return static_cast<int>(exit);
    error(std::string("cannot write the output: ") + std::strerror(writeError_));
    return static_cast<int>(exit == Exit::Done ? Exit::Failed : exit);
}

} // namespace cli
