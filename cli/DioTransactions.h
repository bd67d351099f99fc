// The device operations dio offers, each one open-operate-close transaction on the loaded library, and
// what they report. Texts from the library come back as its single bytes; failure texts come ready for
// stderr, with their control bytes escaped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "DeviceList.h"
#include "LibraryBuffers.h"

namespace dio {

using device::ListedDevice;
using device::Listing;

using PortValues = std::vector<std::pair<std::uint8_t, std::uint8_t>>; // port, value; in the order asked

// Each returns the failure texts for stderr (the library's message, else the panel's fixed text),
// empty on success.
std::vector<std::string> listDevices(Listing &listing);
// With `stopped`, asked after each call: once it says so, no further call but the close is made, and
// `values` holds fewer ports than asked. `read`, when given, is called as the last read returns, before
// the close, so a reading can be stamped with the time it was made.
std::vector<std::string> readPorts(const device::SerialNumberBuffer &serialNumber,
                                   const std::vector<std::uint8_t> &ports, PortValues &values,
                                   bool (*stopped)() = nullptr, const std::function<void()> &read = {});
// Writes in the order given, then reads every written port back once and expects the last value written.
std::vector<std::string> writePorts(const device::SerialNumberBuffer &serialNumber, const PortValues &writes,
                                    PortValues &readBack);
std::vector<std::string> readVersion(const device::SerialNumberBuffer &serialNumber, std::string &version);

} // namespace dio
