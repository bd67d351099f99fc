#include "Lamps.h"

namespace lamps {

int firstLampOf(std::uint8_t port) {
    switch (port) {
    case InputPort0:
        return 1;
    case InputPort1:
        return 9;
    case OutputPort0:
        return 17;
    case OutputPort1:
        return 25;
    default:
        return 0;
    }
}

void ShowPortValue(LampSet &lamps, std::uint8_t port, std::uint8_t value) {
    const int first = firstLampOf(port);
    if (first == 0)
        return;
    for (int bit = 0; bit < 8; ++bit)
        lamps.setLampColor(first + bit, (value >> bit) & 1 ? clRed : clLime);
}

std::uint8_t CollectPortValue(const LampSet &lamps, std::uint8_t port) {
    std::uint8_t value = 0xFF;
    if (port != OutputPort0 && port != OutputPort1)
        return value;
    const int first = firstLampOf(port);
    for (int bit = 0; bit < 8; ++bit)
        if (lamps.lampColor(first + bit) == clLime)
            value = static_cast<std::uint8_t>(value & ~(1u << bit));
    return value;
}

TColor toggledColor(TColor color) {
    return color == clRed ? clLime : clRed;
}

} // namespace lamps
