#include "SimState.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <zlib.h>

namespace sim {

namespace {

constexpr std::array<std::string_view, 3> ModeNames{"loopback", "counting", "manual"};
constexpr std::array<std::string_view, 6> OperationNames{"ListDevices",  "OpenDevice", "CloseDevice",
                                                         "GetSWVersion", "ReadPort",   "WritePort"};

constexpr char Magic[8] = {'K', 'A', 'V', 'S', 'I', 'M', '\r', '\n'};
constexpr std::uint32_t FormatVersion = 1;
constexpr std::size_t HeaderBytes = sizeof Magic + 3 * sizeof(std::uint32_t);

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// Appends little-endian numbers and length-prefixed texts.
class Writer {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u16(std::uint16_t value) { unsigned_(value, 2); }
    void u32(std::uint32_t value) { unsigned_(value, 4); }
    void text8(std::string_view text) { textWith(text, 1); }
    void text16(std::string_view text) { textWith(text, 2); }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    void unsigned_(std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    void textWith(std::string_view text, int lengthBytes) {
        unsigned_(static_cast<std::uint32_t>(text.size()), lengthBytes);
        bytes_.insert(bytes_.end(), text.begin(), text.end());
    }
    std::vector<std::uint8_t> bytes_;
};

// Reads what Writer wrote; any read past the end sets `failed` and yields zeros.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(unsigned_(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(unsigned_(2)); }
    std::uint32_t u32() { return unsigned_(4); }
    std::string text8() { return text(unsigned_(1)); }
    std::string text16() { return text(unsigned_(2)); }
    bool failed() const { return failed_; }
    bool atEnd() const { return at_ == bytes_.size(); }

private:
    bool take(std::size_t count) {
        if (failed_ || bytes_.size() - at_ < count) {
            failed_ = true;
            return false;
        }
        return true;
    }
    std::uint32_t unsigned_(int count) {
        if (!take(static_cast<std::size_t>(count)))
            return 0;
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value |= std::uint32_t(bytes_[at_++]) << (8 * i);
        return value;
    }
    std::string text(std::size_t length) {
        if (!take(length))
            return {};
        std::string result(reinterpret_cast<const char *>(bytes_.data() + at_), length);
        at_ += length;
        return result;
    }
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

std::uint32_t crc(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

void writeDevice(Writer &out, const Device &device) {
    out.text8(device.serial);
    out.text16(device.description);
    out.text8(device.version);
    out.u8(static_cast<std::uint8_t>(device.mode));
    out.u8(device.plugged ? 1 : 0);
    for (std::uint8_t value : device.inputs)
        out.u8(value);
    for (std::uint8_t value : device.outputs)
        out.u8(value);
    out.u32(device.generation);
}

Device readDevice(Reader &in) {
    Device device;
    device.serial = in.text8();
    device.description = in.text16();
    device.version = in.text8();
    device.mode = static_cast<Mode>(in.u8());
    device.plugged = in.u8() != 0;
    for (std::uint8_t &value : device.inputs)
        value = in.u8();
    for (std::uint8_t &value : device.outputs)
        value = in.u8();
    device.generation = in.u32();
    return device;
}

void writeRule(Writer &out, const Rule &rule) {
    out.u8(static_cast<std::uint8_t>(rule.operation));
    out.text8(rule.serial);
    out.u32(rule.delayMs);
    out.u8(static_cast<std::uint8_t>((rule.fails ? 1 : 0) | (rule.always ? 2 : 0)));
    out.u32(rule.remaining);
    out.u32(static_cast<std::uint32_t>(rule.status));
    out.text16(rule.message);
}

Rule readRule(Reader &in) {
    Rule rule;
    rule.operation = static_cast<Operation>(in.u8());
    rule.serial = in.text8();
    rule.delayMs = in.u32();
    const std::uint8_t flags = in.u8();
    rule.fails = (flags & 1) != 0;
    rule.always = (flags & 2) != 0;
    rule.remaining = in.u32();
    rule.status = static_cast<std::int32_t>(in.u32());
    rule.message = in.text16();
    return rule;
}

// What the payload holds beyond being well-formed: every text and number within its limits.
std::optional<std::string> contentProblem(const State &state) {
    std::vector<std::string_view> serials;
    for (const Device &device : state.devices) {
        if (serialProblem(device.serial) || descriptionProblem(device.description) ||
            versionProblem(device.version) || static_cast<std::size_t>(device.mode) >= ModeNames.size())
            return "a device record is damaged";
        serials.push_back(device.serial);
    }
    std::sort(serials.begin(), serials.end());
    if (std::adjacent_find(serials.begin(), serials.end()) != serials.end())
        return "two devices share a serial number";
    if (listProblem(state))
        return "the device lists are too long";
    if (state.rules.size() > MaxRules)
        return "too many faults and delays";
    for (const Rule &rule : state.rules) {
        if (static_cast<std::size_t>(rule.operation) >= OperationNames.size() ||
            rule.serial.size() > MaxSerialBytes || rule.delayMs > MaxDelayMs ||
            rule.message.size() > MaxMessageBytes || (rule.fails && rule.status == 0))
            return "a fault record is damaged";
    }
    return std::nullopt;
}

bool hasForbiddenByte(std::string_view text) {
    return text.find(',') != std::string_view::npos || text.find('\0') != std::string_view::npos;
}

template <typename R, typename S>
R *findRule(S &state, Operation operation, std::string_view serial, bool fault) {
    R *forAll = nullptr;
    for (R &rule : state.rules) {
        if (rule.operation != operation || (fault ? !rule.fails : rule.delayMs == 0))
            continue;
        if (!serial.empty() && rule.serial == serial)
            return &rule;
        if (rule.serial.empty())
            forAll = &rule;
    }
    return forAll;
}

} // namespace

std::string_view modeName(Mode mode) {
    return ModeNames[static_cast<std::size_t>(mode)];
}

std::optional<Mode> parseMode(std::string_view text) {
    for (std::size_t i = 0; i < ModeNames.size(); ++i)
        if (ModeNames[i] == text)
            return static_cast<Mode>(i);
    return std::nullopt;
}

std::string_view operationName(Operation operation) {
    return OperationNames[static_cast<std::size_t>(operation)];
}

std::optional<Operation> parseOperation(std::string_view text) {
    for (std::size_t i = 0; i < OperationNames.size(); ++i)
        if (sameIgnoringCase(OperationNames[i], text))
            return static_cast<Operation>(i);
    return std::nullopt;
}

bool hasMessage(Operation operation) {
    return operation == Operation::GetSWVersion || operation == Operation::ReadPort ||
           operation == Operation::WritePort;
}

Device *State::find(std::string_view serial) {
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&](const Device &device) { return device.serial == serial; });
    return found == devices.end() ? nullptr : &*found;
}

const Device *State::find(std::string_view serial) const {
    return const_cast<State *>(this)->find(serial);
}

Rule &State::ruleFor(Operation operation, std::string_view serial) {
    for (Rule &rule : rules)
        if (rule.operation == operation && rule.serial == serial)
            return rule;
    Rule &rule = rules.emplace_back();
    rule.operation = operation;
    rule.serial = serial;
    return rule;
}

void State::dropIdleRules() {
    std::erase_if(rules, [](const Rule &rule) { return !rule.fails && rule.delayMs == 0; });
}

std::uint32_t State::delayFor(Operation operation, std::string_view serial) const {
    const Rule *rule = findRule<const Rule>(*this, operation, serial, false);
    return rule == nullptr ? 0 : rule->delayMs;
}

Rule *State::faultFor(Operation operation, std::string_view serial) {
    return findRule<Rule>(*this, operation, serial, true);
}

const Rule *State::faultFor(Operation operation, std::string_view serial) const {
    return findRule<const Rule>(*this, operation, serial, true);
}

void State::plug(Device &device, bool plugIn) {
    if (plugIn && !device.plugged) {
        device.outputs = {}; // a device that comes back starts as at power-up
        device.generation = nextGeneration++;
    }
    device.plugged = plugIn;
}

std::uint8_t inputValue(const Device &device, std::size_t index) {
    switch (device.mode) {
    case Mode::Loopback:
        return device.outputs[index];
    case Mode::Manual:
        return device.inputs[index];
    case Mode::Counting:
        break;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto elapsedMs =
        static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
    if (index == 0)
        return static_cast<std::uint8_t>(elapsedMs / 250);           // counts up every 250 ms
    return static_cast<std::uint8_t>(1u << ((elapsedMs / 500) % 8)); // one lit bit walks every 500 ms
}

State defaultState() {
    State state;
    // Generations start from the clock, so a handle opened before a reset does not match a new device.
    state.nextGeneration = static_cast<std::uint32_t>(std::time(nullptr)) | 1u;
    const auto add = [&](const char *serial, const char *description, Mode mode) {
        Device &device = state.devices.emplace_back();
        device.serial = serial;
        device.description = description;
        device.mode = mode;
        device.generation = state.nextGeneration++;
    };
    add("DIO-SIM-0001", "Simulated USB DIO - outputs wired to inputs", Mode::Loopback);
    add("DIO-SIM-0002", "Simulated USB DIO - counting inputs", Mode::Counting);
    return state;
}

std::optional<std::string> serialProblem(std::string_view serial) {
    if (serial.empty())
        return "a serial number cannot be empty";
    if (serial.size() > MaxSerialBytes)
        return "a serial number has at most 19 bytes";
    if (hasForbiddenByte(serial))
        return "a serial number cannot hold a comma";
    return std::nullopt;
}

std::optional<std::string> descriptionProblem(std::string_view description) {
    if (description.size() >= DescriptionListBytes)
        return "a description has at most 1023 bytes";
    if (hasForbiddenByte(description))
        return "a description cannot hold a comma";
    return std::nullopt;
}

std::optional<std::string> versionProblem(std::string_view version) {
    if (version.size() > MaxVersionBytes)
        return "a version has at most 9 bytes";
    if (version.find('\0') != std::string_view::npos)
        return "a version cannot hold a NUL";
    return std::nullopt;
}

std::optional<std::string> listProblem(const State &state) {
    std::size_t serialBytes = 1, descriptionBytes = 1; // the NUL
    for (std::size_t i = 0; i < state.devices.size(); ++i) {
        const std::size_t comma = i == 0 ? 0 : 1;
        serialBytes += comma + state.devices[i].serial.size();
        descriptionBytes += comma + state.devices[i].description.size();
    }
    if (serialBytes > SerialListBytes)
        return "the serial numbers of all devices would not fit the 512-byte list";
    if (descriptionBytes > DescriptionListBytes)
        return "the descriptions of all devices would not fit the 1024-byte list";
    return std::nullopt;
}

std::vector<std::uint8_t> encode(const State &state) {
    Writer payload;
    payload.u32(state.nextGeneration);
    payload.u16(static_cast<std::uint16_t>(state.devices.size()));
    for (const Device &device : state.devices)
        writeDevice(payload, device);
    payload.u16(static_cast<std::uint16_t>(state.rules.size()));
    for (const Rule &rule : state.rules)
        writeRule(payload, rule);
    const std::vector<std::uint8_t> body = payload.take();

    Writer file;
    for (char c : Magic)
        file.u8(static_cast<std::uint8_t>(c));
    file.u32(FormatVersion);
    file.u32(static_cast<std::uint32_t>(body.size()));
    file.u32(crc(body));
    std::vector<std::uint8_t> bytes = file.take();
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

Decoded decode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return {std::nullopt, "it is empty"};
    if (bytes.size() < HeaderBytes || std::memcmp(bytes.data(), Magic, sizeof Magic) != 0)
        return {std::nullopt, "it is not a simulator state"};
    Reader header(bytes.subspan(sizeof Magic, HeaderBytes - sizeof Magic));
    const std::uint32_t version = header.u32();
    const std::uint32_t size = header.u32();
    const std::uint32_t checksum = header.u32();
    if (version != FormatVersion)
        return {std::nullopt, "it has format version " + std::to_string(version) + ", this library reads " +
                                  std::to_string(FormatVersion)};
    const std::span<const std::uint8_t> body = bytes.subspan(HeaderBytes);
    if (body.size() != size)
        return {std::nullopt, "it is truncated or has extra bytes"};
    if (crc(body) != checksum)
        return {std::nullopt, "its checksum does not match"};

    Reader in(body);
    State state;
    state.nextGeneration = in.u32();
    const std::uint16_t deviceCount = in.u16();
    for (std::uint16_t i = 0; i < deviceCount && !in.failed(); ++i)
        state.devices.push_back(readDevice(in));
    const std::uint16_t ruleCount = in.u16();
    for (std::uint16_t i = 0; i < ruleCount && !in.failed(); ++i)
        state.rules.push_back(readRule(in));
    if (in.failed() || !in.atEnd())
        return {std::nullopt, "its records are damaged"};
    if (auto problem = contentProblem(state))
        return {std::nullopt, *problem};
    return {std::move(state), {}};
}

} // namespace sim
