// Safe conversions of the single-byte texts exchanged with the device library.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include <QString>

#include "LibraryBuffers.h"

namespace device {

// Every byte is one Latin-1 character, so no byte is lost on the way to the window.
QString decodeText(std::string_view bytes);

template <std::size_t N> QString decodeText(const std::array<char, N> &buffer) {
    return decodeText(boundedText(buffer));
}

// Bytes of a window text in the library's encoding; false when a character has no single byte.
bool encodeText(const QString &text, QByteArray &bytes);

// Fills the zeroed serial-number buffer with the text and its NUL. A text that does not fit (more than
// 19 bytes) or has no single-byte form is refused rather than cut, since a shortened serial number
// could open another device; the buffer is then left untouched.
bool encodeSerialNumber(const QString &text, SerialNumberBuffer &buffer);

} // namespace device
