#include "StateFormat.h"

#include <algorithm>

#include <zlib.h>

namespace sim {

namespace {

constexpr std::array<std::uint8_t, 8> Magic{'K', 'A', 'V', 'S', 'I', 'M', '\r', '\n'};
constexpr std::uint32_t FormatVersion = 1;
constexpr std::size_t HeaderBytes = Magic.size() + 3 * 4;
static_assert(SignatureBytes == Magic.size() + 4);

std::uint32_t crc(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// Appends numbers (`width` bytes) and texts (after a `width`-byte length).
struct Writer {
    std::vector<std::uint8_t> bytes;

    template <typename T> void number(T value, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i)));
    }
    template <typename T> void choice(T value, unsigned) { number(value, 1); }
    void flags(bool first, bool second) { number((first ? 1 : 0) | (second ? 2 : 0), 1); }
    void text(const std::string &text, int width) {
        number(text.size(), width);
        bytes.insert(bytes.end(), text.begin(), text.end());
    }
    template <typename T, typename Walk> void list(const std::vector<T> &items, Walk walk) {
        number(items.size(), 2);
        for (const T &item : items)
            walk(*this, item);
    }
};

// Reads what Writer wrote. Anything Writer would not have written (a read past the end, a choice out of
// range, unknown flags) marks the bytes damaged.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool whole() const { return ok_ && at_ == bytes_.size(); }

    template <typename T> void number(T &value, int width) { value = static_cast<T>(next(width)); }
    template <typename T> void choice(T &value, unsigned count) {
        const std::uint32_t byte = next(1);
        ok_ = ok_ && byte < count;
        value = static_cast<T>(byte);
    }
    void flags(bool &first, bool &second) {
        std::uint8_t both = 0;
        choice(both, 4);
        first = (both & 1) != 0;
        second = (both & 2) != 0;
    }
    void text(std::string &text, int width) {
        const std::size_t length = next(width);
        if (!take(length))
            return;
        text.assign(bytes_.begin() + at_, bytes_.begin() + at_ + length);
        at_ += length;
    }
    template <typename T, typename Walk> void list(std::vector<T> &items, Walk walk) {
        const std::uint32_t count = next(2);
        for (std::uint32_t i = 0; i < count && ok_; ++i)
            walk(*this, items.emplace_back());
    }

private:
    bool take(std::size_t count) {
        ok_ = ok_ && bytes_.size() - at_ >= count;
        return ok_;
    }
    std::uint32_t next(int width) {
        std::uint32_t value = 0;
        for (int i = 0; i < width && take(1); ++i)
            value |= std::uint32_t(bytes_[at_++]) << (8 * i);
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// Each record's layout, written once for both directions: `Io` is Writer or Reader.
template <typename Io, typename D> void walkDevice(Io &io, D &device) {
    io.text(device.serial, 1);
    io.text(device.description, 2);
    io.text(device.version, 1);
    io.choice(device.mode, ModeCount);
    io.choice(device.plugged, 2);
    for (auto &value : device.inputs)
        io.number(value, 1);
    for (auto &value : device.outputs)
        io.number(value, 1);
    io.number(device.generation, 4);
}

template <typename Io, typename R> void walkRule(Io &io, R &rule) {
    io.choice(rule.operation, AllOperations.size());
    io.text(rule.serial, 1);
    io.number(rule.delayMs, 4);
    io.flags(rule.fails, rule.always);
    io.number(rule.remaining, 4);
    io.number(rule.status, 4);
    io.text(rule.message, 2);
}

template <typename Io, typename S> void walkState(Io &io, S &state) {
    io.number(state.nextGeneration, 4);
    io.list(state.devices, [](Io &io, auto &device) { walkDevice(io, device); });
    io.list(state.rules, [](Io &io, auto &rule) { walkRule(io, rule); });
}

Decoded refused(std::string problem) {
    return {std::nullopt, std::move(problem)};
}

} // namespace

std::vector<std::uint8_t> encode(const State &state) {
    Writer body;
    walkState(body, state);
    Writer file;
    file.bytes.assign(Magic.begin(), Magic.end());
    file.number(FormatVersion, 4);
    file.number(body.bytes.size(), 4);
    file.number(crc(body.bytes), 4);
    file.bytes.insert(file.bytes.end(), body.bytes.begin(), body.bytes.end());
    return std::move(file.bytes);
}

Decoded decode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return refused("it is empty");
    if (!beginsAsState(bytes))
        return refused("it is not a simulator state");
    if (bytes.size() < HeaderBytes)
        return refused("it is truncated");
    Reader header(bytes.subspan(Magic.size(), HeaderBytes - Magic.size()));
    std::uint32_t version = 0, size = 0, checksum = 0;
    header.number(version, 4);
    header.number(size, 4);
    header.number(checksum, 4);
    if (version != FormatVersion)
        return refused("it has format version " + std::to_string(version) + ", this library reads " +
                       std::to_string(FormatVersion));
    const std::span<const std::uint8_t> body = bytes.subspan(HeaderBytes);
    if (body.size() != size)
        return refused("it is truncated or has extra bytes");
    if (crc(body) != checksum)
        return refused("its checksum does not match");
    State state;
    Reader in(body);
    walkState(in, state);
    if (!in.whole())
        return refused("its records are damaged");
    if (auto problem = stateProblem(state))
        return refused(*problem);
    return {std::move(state), {}};
}

bool hasSignature(std::span<const std::uint8_t> bytes) {
    Writer signature;
    signature.bytes.assign(Magic.begin(), Magic.end());
    signature.number(FormatVersion, 4);
    return bytes.size() >= signature.bytes.size() &&
           std::equal(signature.bytes.begin(), signature.bytes.end(), bytes.begin());
}

bool beginsAsState(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= Magic.size() && std::equal(Magic.begin(), Magic.end(), bytes.begin());
}

} // namespace sim
