#include "DioRecording.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "Arguments.h"
#include "DioFormat.h"
#include "TextRules.h"

namespace dio {

namespace {

// VCD codes for the wires, from letters alone: "a" ... "Z", then "aa" ..., which no reader mistakes.
std::string wireCode(std::size_t index) {
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    constexpr std::size_t Count = sizeof Letters - 1;
    std::string code;
    do {
        code.insert(code.begin(), Letters[index % Count]);
        index /= Count;
    } while (index-- > 0);
    return code;
}

// in00_0 is bit 0 of input port 0x00; out10_7 is bit 7 of output port 0x10.
std::string wireName(std::uint8_t port, int bit) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%02X_%d", port < 0x10 ? "in" : "out", port, bit);
    return name;
}

std::string vcdTime(std::int64_t micros) {
    return '#' + std::to_string(micros) + '\n';
}

// The bits of the readings that differ, one "<value><code>" line each; all of them without `previous`.
std::string vcdBits(const PortValues &values, const PortValues *previous) {
    std::string lines;
    for (std::size_t port = 0; port < values.size(); ++port)
        for (int bit = 0; bit < 8; ++bit) {
            const int now = values[port].second >> bit & 1;
            if (previous && ((*previous)[port].second >> bit & 1) == now)
                continue;
            lines += (now ? '1' : '0') + wireCode(port * 8 + static_cast<std::size_t>(bit)) + '\n';
        }
    return lines;
}

std::string vcdHead(const RecordingHead &head, const PortValues &values) {
    std::string text = "$date " + utcTimestamp(head.start) +
                       " $end\n$version dio " DIOPANEL_VERSION " $end\n$timescale 1 us $end\n$scope module " +
                       vcdScopeName(head.serialNumber) + " $end\n";
    for (std::size_t port = 0; port < values.size(); ++port)
        for (int bit = 0; bit < 8; ++bit)
            text += "$var wire 1 " + wireCode(port * 8 + static_cast<std::size_t>(bit)) + ' ' +
                    wireName(values[port].first, bit) + " $end\n";
    return text + "$upscope $end\n$enddefinitions $end\n";
}

std::string csvRow(const Reading &reading) {
    char time[32];
    std::snprintf(time, sizeof time, "%" PRId64 ".%06" PRId64, reading.micros / 1'000'000,
                  reading.micros % 1'000'000);
    std::string row = time;
    for (const auto &[port, value] : reading.values)
        row += ',' + std::to_string(value);
    return row + "\r\n"; // RFC 4180 ends records with CRLF
}

std::string csvHead(const RecordingHead &head, const PortValues &values) {
    std::string text = head.comment ? "# started " + utcTimestamp(head.start) + "\r\n" : std::string();
    text += "time_s";
    for (const auto &[port, value] : values)
        text += ',' + cli::formatByte(port);
    return text + "\r\n";
}

std::string line(Format format, const Reading &reading) {
    const std::string time = utcTimestamp(reading.wallClock);
    return format == Format::Json ? watchJson(time, reading.values) : watchText(time, reading.values);
}

} // namespace

std::optional<Format> formatNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, Format> Names[] = {
        {"text", Format::Text}, {"json", Format::Json}, {"csv", Format::Csv}, {"vcd", Format::Vcd}};
    for (const auto &[known, format] : Names)
        if (name == known)
            return format;
    return std::nullopt;
}

Format formatOfFile(std::string_view path) {
    const auto endsWith = [&](std::string_view end) { // in any case: REC.VCD is a VCD too
        return path.size() >= end.size() &&
               std::equal(end.begin(), end.end(), path.end() - static_cast<std::ptrdiff_t>(end.size()),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    if (endsWith(".vcd"))
        return Format::Vcd;
    if (endsWith(".csv"))
        return Format::Csv;
    return endsWith(".json") || endsWith(".jsonl") ? Format::Json : Format::Text;
}

std::string vcdScopeName(std::string_view serialNumber) {
    std::string name;
    for (const char byte : serialNumber) {
        const bool letter = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
        const bool digit = byte >= '0' && byte <= '9';
        if (name.empty() && digit)
            name += '_';
        name += letter || digit ? byte : '_';
    }
    return name;
}

std::string recordingStart(Format format, const RecordingHead &head, const Reading &first) {
    switch (format) {
    case Format::Csv:
        return csvHead(head, first.values) + csvRow(first);
    case Format::Vcd:
        return vcdHead(head, first.values) + vcdTime(0) + "$dumpvars\n" + vcdBits(first.values, nullptr) +
               "$end\n";
    default:
        return line(format, first);
    }
}

std::string recordingChange(Format format, const Reading &previous, const Reading &current) {
    switch (format) {
    case Format::Csv:
        return csvRow(current);
    case Format::Vcd:
        return (current.micros > previous.micros ? vcdTime(current.micros) : std::string()) +
               vcdBits(current.values, &previous.values);
    default:
        return line(format, current);
    }
}

std::string recordingWithoutReadings(Format format, const RecordingHead &head,
                                     const std::vector<std::uint8_t> &ports) {
    PortValues names;
    for (const std::uint8_t port : ports)
        names.emplace_back(port, 0);
    switch (format) {
    case Format::Csv:
        return csvHead(head, names);
    case Format::Vcd:
        return vcdHead(head, names);
    default:
        return {};
    }
}

std::string recordingEnd(Format format, const Reading &last, std::int64_t endMicros) {
    return format == Format::Vcd && endMicros > last.micros ? vcdTime(endMicros) : std::string();
}

} // namespace dio
