#include "LibraryBuffers.h"

#include <algorithm>

namespace device {

std::string_view boundedText(const char *buffer, std::size_t size) {
    const char *end = std::find(buffer, buffer + size, '\0');
    return {buffer, static_cast<std::size_t>(end - buffer)};
}

} // namespace device
