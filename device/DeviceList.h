// Splitting of the comma-separated device lists that ListDevices fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The most fields a 512-byte serial-number list can hold (511 commas and a NUL), and so the most
// devices one discovery adds, whatever count the library reports.
inline constexpr int MaxListedDevices = 512;

// The next field of `list`, starting at the 0-based `fieldStart`. A comma ends the field and moves the
// start past it; without a further comma the field runs to the end and the start stays, so every later
// call yields that last field again (or an empty one after a trailing comma). Fields are not trimmed.
std::string_view SplitDeviceList(std::string_view list, std::size_t &fieldStart);

// How many fields `list` really holds: none when it is empty, else one more than it has commas.
std::size_t countListFields(std::string_view list);

namespace device {

struct ListedDevice {
    std::string serialNumber; // the library's single bytes
    std::string description;
};

struct Listing {
    std::vector<ListedDevice> devices;
    std::string disagreement; // why the count and the lists do not match, or empty
};

// The devices ListDevices reported, as the tools list them: no more than the count and the serial numbers
// allow, a missing description empty, and any disagreement between the count and the lists said. An
// empty description list for a count of one is one empty description, as the panel lists it.
Listing readListing(std::int32_t count, std::string_view serialNumbers, std::string_view descriptions);

} // namespace device
