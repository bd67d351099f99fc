// An open device, for a script's `with dio.Device(serial) as dev:`. Every library call runs with the GIL
// released, and one device is used by one thread at a time (the others wait for its mutex, without the
// GIL, so neither lock can wait for the other).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "LibraryBuffers.h"

namespace pydio {

class Device {
public:
    // Checks the serial number, loads the device library if no call did yet, and opens the device.
    explicit Device(const pybind11::str &serial);
    // A device a script forgot to close is closed here, quietly, with the GIL released.
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Counts forks from the child's side, so a device opened before a fork knows it is no longer its own.
    static void noteForks();

    void write(pybind11::handle port, pybind11::handle value);
    int read(pybind11::handle port);
    pybind11::str version();
    // Reads the port until (read & mask) == value, then returns what it read; TimeoutError after
    // `timeout` seconds (None: no bound). Sleeps `interval` seconds between reads.
    int waitFor(pybind11::handle port, pybind11::handle value, pybind11::handle mask,
                pybind11::handle timeout, pybind11::handle interval);
    // Reads the port until it differs from its first read, then returns the new value.
    int waitChange(pybind11::handle port, pybind11::handle timeout, pybind11::handle interval);
    // Releases the device; a failed close raises after it is released. Closing twice does nothing.
    void close();
    bool closed() const { return !open_; }
    const pybind11::str &serial() const { return serial_; }

private:
    template <typename Call> void callOpenDevice(const char *operation, const char *failureText, Call call);
    std::uint8_t readByte(std::uint8_t port);
    template <typename Met>
    int poll(std::uint8_t port, pybind11::handle timeout, pybind11::handle interval, Met met,
             const std::string &wanted);

    pybind11::str serial_;
    std::string latin1Serial_;
    std::mutex mutex_;
    DeviceHandle handle_ = 0;
    unsigned forkGeneration_;        // the process's fork count when the device was opened
    std::atomic<bool> open_ = false; // changed under the mutex, read without it
};

} // namespace pydio
