#include "Device.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <pthread.h>

#include "ArgumentChecks.h"
#include "LibraryChoice.h"
#include "OperationTexts.h"
#include "PythonErrors.h"
#include "WithoutGil.h"

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

namespace pydio {

namespace {

// Written by the fork handler in the child, where only the forking thread runs.
std::atomic<unsigned> forks = 0;

// The library's message, else the operation's fixed text.
std::string failureMessage(const device::MessageBuffer &message, const char *failureText) {
    const std::string_view text = device::boundedText(message);
    return text.empty() ? failureText : std::string(text);
}

std::string hexByte(std::uint8_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Seconds from now, or a time far enough away to be never (a billion seconds).
Clock::time_point after(double seconds) {
    constexpr double Never = 1e9;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(std::min(seconds, Never)));
}

// Sleeps until `until` with the GIL released, in short slices so that a signal (Ctrl-C) raises soon and
// `stop()` (the device closed by another thread) ends the sleep at once.
template <typename Stop> void sleepUntil(Clock::time_point until, Stop stop) {
    constexpr auto Slice = std::chrono::milliseconds(20);
    for (auto now = Clock::now(); now < until && !stop(); now = Clock::now()) {
        withoutGil([&] { std::this_thread::sleep_for(std::min<Clock::duration>(until - now, Slice)); });
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

} // namespace

void Device::noteForks() {
    pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1); });
}

Device::Device(const py::str &serial) : serial_(serial), forkGeneration_(forks) {
    const device::SerialNumberBuffer serialNumber = serialArgument(serial);
    latin1Serial_ = std::string(device::boundedText(serialNumber));
    ensureLoaded();
    withoutGil([&] {
        if (const std::int32_t status = OpenDevice(serialNumber.data(), &handle_); status != 0)
            throw DeviceFailure(status, device::OpenErrorText, "OpenDevice", latin1Serial_);
    });
    open_ = true;
}

Device::~Device() {
    // Opened before a fork: the handle is the parent's, and so is its mutex, which may be held there.
    if (!open_ || forkGeneration_ != forks)
        return;
    if (finalizing()) {
        CloseDevice(handle_);
        return;
    }
    withoutGil([this] { CloseDevice(handle_); });
}

// Runs one library call on the open device, with a zero-filled message buffer of its own. A device
// opened before a fork is refused before its mutex is touched: a thread of the parent may have held it.
template <typename Call>
void Device::callOpenDevice(const char *operation, const char *failureText, Call call) {
    if (forkGeneration_ != forks)
        throw py::value_error("the device " + std::string(py::repr(serial_)) +
                              " was opened before this process was forked; open it again in this process");
    device::MessageBuffer message{};
    withoutGil([&] {
        const std::lock_guard lock(mutex_);
        if (!open_)
            throw py::value_error("the device is closed");
        if (const std::int32_t status = call(message.data()); status != 0)
            throw DeviceFailure(status, failureMessage(message, failureText), operation, latin1Serial_);
    });
}

void Device::write(py::handle port, py::handle value) {
    const std::uint8_t portNumber = byteArgument(port, "port");
    const std::uint8_t byte = byteArgument(value, "value");
    callOpenDevice("WritePort", device::WriteErrorText,
                   [&](char *message) { return WritePort(handle_, portNumber, byte, message); });
}

std::uint8_t Device::readByte(std::uint8_t port) {
    std::uint8_t value = 0;
    callOpenDevice("ReadPort", device::ReadErrorText,
                   [&](char *message) { return ReadPort(handle_, port, &value, message); });
    return value;
}

int Device::read(py::handle port) {
    return readByte(byteArgument(port, "port"));
}

py::str Device::version() {
    device::VersionBuffer version{};
    callOpenDevice("GetSWVersion", device::VersionErrorText,
                   [&](char *message) { return GetSWVersion(handle_, version.data(), message); });
    return latin1Text(device::boundedText(version));
}

// Reads until `met(value)`, with signals checked after every read and during every pause. On timeout,
// `wanted` says what the port did not do, for "port 0x00 <wanted> within 2 s; last read 0x04".
template <typename Met>
int Device::poll(std::uint8_t port, py::handle timeout, py::handle interval, Met met,
                 const std::string &wanted) {
    const std::optional<double> limit = secondsArgument(timeout, "timeout", false);
    const double pause = *secondsArgument(interval, "interval", true);
    const Clock::time_point deadline = after(limit.value_or(INFINITY));
    for (;;) {
        const std::uint8_t value = readByte(port);
        if (met(value))
            return value;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (Clock::now() >= deadline) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", *limit);
            const std::string text = "port " + hexByte(port) + " " + wanted + " within " + seconds +
                                     " s; last read " + hexByte(value);
            PyErr_SetString(PyExc_TimeoutError, text.c_str());
            throw py::error_already_set();
        }
        sleepUntil(std::min(deadline, after(pause)), [this] { return !open_; });
    }
}

int Device::waitFor(py::handle port, py::handle value, py::handle mask, py::handle timeout,
                    py::handle interval) {
    const std::uint8_t portNumber = byteArgument(port, "port");
    const std::uint8_t wanted = byteArgument(value, "value");
    const std::uint8_t bits = byteArgument(mask, "mask");
    if ((wanted & ~bits) != 0)
        throw py::value_error("value " + hexByte(wanted) + " has bits outside mask " + hexByte(bits) +
                              ", which the port can never match");
    const std::string what =
        "did not reach " + hexByte(wanted) + (bits == 0xFF ? std::string() : " under mask " + hexByte(bits));
    return poll(
        portNumber, timeout, interval, [&](std::uint8_t read) { return (read & bits) == wanted; }, what);
}

int Device::waitChange(py::handle port, py::handle timeout, py::handle interval) {
    const std::uint8_t portNumber = byteArgument(port, "port");
    secondsArgument(timeout, "timeout", false); // checked before the first read
    secondsArgument(interval, "interval", true);
    const std::uint8_t first = readByte(portNumber);
    return poll(
        portNumber, timeout, interval, [&](std::uint8_t read) { return read != first; },
        "did not change from " + hexByte(first));
}

void Device::close() {
    if (forkGeneration_ != forks) { // the parent's handle: its own process closes it
        open_ = false;
        return;
    }
    withoutGil([&] {
        const std::lock_guard lock(mutex_);
        if (!open_)
            return;
        open_ = false; // released whatever the library says
        if (const std::int32_t status = CloseDevice(handle_); status != 0)
            throw DeviceFailure(status, device::CloseErrorText, "CloseDevice", latin1Serial_);
    });
}

} // namespace pydio
