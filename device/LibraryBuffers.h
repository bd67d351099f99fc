// The caller-owned buffers of the device interface and the bounded reading of the texts the library
// leaves in them. Free of Qt, for every caller of the six operations.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "kavren.h"

namespace device {

using SerialNumberBuffer = std::array<char, KAVREN_SERIAL_NUMBER_SIZE>;
using SerialListBuffer = std::array<char, KAVREN_SERIAL_LIST_SIZE>;
using DescriptionListBuffer = std::array<char, KAVREN_DESCRIPTION_LIST_SIZE>;
using VersionBuffer = std::array<char, KAVREN_VERSION_SIZE>;
using MessageBuffer = std::array<char, KAVREN_MESSAGE_SIZE>;

// The library's text in a buffer: up to the first NUL, or the whole buffer when it holds none.
std::string_view boundedText(const char *buffer, std::size_t size);

template <std::size_t N> std::string_view boundedText(const std::array<char, N> &buffer) {
    return boundedText(buffer.data(), N);
}

// A serial number that passed the serial-number rule (at most 19 bytes), as the library takes it: NUL-ended.
SerialNumberBuffer serialNumberBuffer(std::string_view serial);

} // namespace device
