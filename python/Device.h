// An open device, for a script's `with dio.Device(serial) as dev:`. Every library call runs with the GIL
// released, and one device is used by one thread at a time (the others wait for its mutex, without the
// GIL, so neither lock can wait for the other).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include <pybind11/pybind11.h>

#include "LibraryBuffers.h"

namespace pydio {

class Device {
public:
    // Checks the serial number, loads the device library if no call did yet, and opens the device.
    explicit Device(const pybind11::str &serial);
    // A device a script forgot to close is closed here, quietly.
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    void write(const pybind11::int_ &port, const pybind11::int_ &value);
    int read(const pybind11::int_ &port);
    pybind11::str version();
    // Releases the device; a failed close raises after it is released. Closing twice does nothing.
    void close();
    bool closed() const { return !open_; }
    const pybind11::str &serial() const { return serial_; }

private:
    template <typename Call> void callOpenDevice(const char *failureText, Call call);

    pybind11::str serial_;
    std::mutex mutex_;
    DeviceHandle handle_ = 0;
    std::atomic<bool> open_ = false; // changed under the mutex, read without it
};

} // namespace pydio
