// The rules of the thirty-two port lamps, written against lamp colours alone so that they need no window.
// Lamps are numbered 1 to 32: 1-8 port 0x00, 9-16 port 0x01, 17-24 port 0x10, 25-32 port 0x11, bit 0 first.
#pragma once

#include <array>
#include <cstdint>

using TColor = std::uint32_t; // 0x00BBGGRR

inline constexpr TColor clRed = 0x0000FF;  // a lamp showing bit value 1
inline constexpr TColor clLime = 0x00FF00; // pure green: a lamp showing bit value 0
inline constexpr int LampCount = 32;

inline constexpr std::uint8_t InputPort0 = 0x00;
inline constexpr std::uint8_t InputPort1 = 0x01;
inline constexpr std::uint8_t OutputPort0 = 0x10;
inline constexpr std::uint8_t OutputPort1 = 0x11;

class LampSet {
public:
    virtual ~LampSet() = default;
    virtual TColor lampColor(int lamp) const = 0;
    virtual void setLampColor(int lamp, TColor color) = 0;
};

// Thirty-two lamp colours without a window; every lamp starts red, as on the panel.
class LampColors final : public LampSet {
public:
    LampColors() { colors_.fill(clRed); }
    TColor lampColor(int lamp) const override { return colors_.at(static_cast<std::size_t>(lamp - 1)); }
    void setLampColor(int lamp, TColor color) override {
        colors_.at(static_cast<std::size_t>(lamp - 1)) = color;
    }

private:
    std::array<TColor, LampCount> colors_{};
};

namespace lamps {

// The lamp of bit 0 of a port, or 0 for a port that has no lamps.
int firstLampOf(std::uint8_t port);

void ShowPortValue(LampSet &lamps, std::uint8_t port, std::uint8_t value);

// Only the output ports are collected; a lamp counts as 0 only when it is exactly pure green.
std::uint8_t CollectPortValue(const LampSet &lamps, std::uint8_t port);

// Red becomes green; any other colour becomes red.
TColor toggledColor(TColor color);

} // namespace lamps
