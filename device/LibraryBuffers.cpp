#include "LibraryBuffers.h"

#include <algorithm>

namespace device {

std::string_view boundedText(const char *buffer, std::size_t size) {
    const char *end = std::find(buffer, buffer + size, '\0');
    return {buffer, static_cast<std::size_t>(end - buffer)};
}

SerialNumberBuffer serialNumberBuffer(std::string_view serial) {
    SerialNumberBuffer buffer{};
    serial.copy(buffer.data(), buffer.size() - 1); // the last byte stays the NUL whatever the length
    return buffer;
}

} // namespace device
