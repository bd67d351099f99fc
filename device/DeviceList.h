// Splitting of the comma-separated device lists that ListDevices fills.
#pragma once

#include <cstddef>
#include <string_view>

// The most fields a 512-byte serial-number list can hold (511 commas and a NUL), and so the most
// devices one discovery adds, whatever count the library reports.
inline constexpr int MaxListedDevices = 512;

// The next field of `list`, starting at the 0-based `fieldStart`. A comma ends the field and moves the
// start past it; without a further comma the field runs to the end and the start stays, so every later
// call yields that last field again (or an empty one after a trailing comma). Fields are not trimmed.
std::string_view SplitDeviceList(std::string_view list, std::size_t &fieldStart);

// How many fields `list` really holds: none when it is empty, else one more than it has commas.
std::size_t countListFields(std::string_view list);
