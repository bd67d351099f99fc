// The recording formats of dio watch. Text and JSON print a line at start and on each change with the
// wall-clock time, as always. CSV (RFC 4180) and VCD (IEEE 1364 value change dump, 1-bit wires only,
// which every waveform viewer reads) give each reading its time since the first, in microseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DioTransactions.h"

namespace dio {

enum class Format { Text, Json, Csv, Vcd };

// "text", "json", "csv" or "vcd"; nothing for another name.
std::optional<Format> formatNamed(std::string_view name);
// The format a file's name suggests: .vcd, .csv, .json or .jsonl in any case, else text.
Format formatOfFile(std::string_view path);

struct Reading {
    std::int64_t micros = 0; // since the first reading
    std::chrono::system_clock::time_point wallClock;
    PortValues values; // the recorded ports, in their order
};

struct RecordingHead {
    std::string serialNumber; // the library's single bytes
    std::chrono::system_clock::time_point start;
    bool comment = false; // CSV: the start's time in a comment line
};

// A module name the VCD readers take: letters, digits and '_' kept, every other byte '_', and a leading
// '_' before a digit ("DIO-SIM-0001" becomes DIO_SIM_0001).
std::string vcdScopeName(std::string_view serialNumber);

// What a recording holds: its start with the first reading, each later reading that differs from the one
// before, and its end (VCD: the time it ended, so that the last value's duration shows).
std::string recordingStart(Format format, const RecordingHead &head, const Reading &first);
std::string recordingChange(Format format, const Reading &previous, const Reading &current);
std::string recordingEnd(Format format, const Reading &last, std::int64_t endMicros);
// A recording stopped before its first reading: CSV and VCD still get their head, so that the file is one
// that readers open (with no values); text and JSON stay empty.
std::string recordingWithoutReadings(Format format, const RecordingHead &head,
                                     const std::vector<std::uint8_t> &ports);

} // namespace dio
