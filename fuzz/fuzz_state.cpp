// The simulator's state decoder. The fuzzer's bytes are decoded as they come, and as the payload behind
// a valid header and checksum, so that they reach the records. Whatever decodes must encode back to
// exactly the same bytes: the decoder accepts nothing that encoding would not have written.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include <zlib.h>

#include "StateFormat.h"

namespace {

constexpr std::size_t HeaderBytes = 20; // magic (8), format version, payload size, CRC-32 (4 each)

void put32(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void checkRoundTrip(std::span<const std::uint8_t> bytes) {
    const sim::Decoded decoded = sim::decode(bytes);
    if (!decoded.state)
        return;
    const std::vector<std::uint8_t> again = sim::encode(*decoded.state);
    if (!std::equal(again.begin(), again.end(), bytes.begin(), bytes.end())) {
        std::fprintf(stderr, "check failed: %zu bytes decoded, but encode to %zu other bytes\n", bytes.size(),
                     again.size());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    checkRoundTrip({data, size});
    std::vector<std::uint8_t> file = sim::encode(sim::State{});
    file.resize(HeaderBytes);
    put32(file, 12, static_cast<std::uint32_t>(size));
    put32(file, 16, static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size))));
    file.insert(file.end(), data, data + size);
    checkRoundTrip(file);
    return 0;
}
