// The state file's bytes: a fixed header (magic, format version, payload size, CRC-32 of the payload),
// then the payload: the next generation, the devices and the rules, little-endian with length-prefixed
// texts. Decoding accepts exactly what encoding makes of a sound state, so the two are each other's
// inverse.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "SimState.h"

namespace sim {

inline constexpr std::size_t MaxFileBytes = 64 * 1024;

std::vector<std::uint8_t> encode(const State &state);

// The state in the bytes, or the reason they are no valid state (never reads past the span).
struct Decoded {
    std::optional<State> state;
    std::string problem;
};
Decoded decode(std::span<const std::uint8_t> bytes);

// Whether bytes begin as this format's files do (magic and format version), which is how a file this code
// wrote is told from another file; `SignatureBytes` of them are enough.
inline constexpr std::size_t SignatureBytes = 12;
bool hasSignature(std::span<const std::uint8_t> bytes);

// Whether bytes begin with the magic that every version of this format starts with: a simulator state,
// however damaged after it. Any other file is somebody else's and is never replaced.
bool beginsAsState(std::span<const std::uint8_t> bytes);

} // namespace sim
