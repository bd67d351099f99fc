#include "DeviceList.h"

#include <algorithm>

std::string_view SplitDeviceList(std::string_view list, std::size_t &fieldStart) {
    if (fieldStart >= list.size())
        return {};
    const std::size_t comma = list.find(',', fieldStart);
    if (comma == std::string_view::npos)
        return list.substr(fieldStart);
    const std::string_view field = list.substr(fieldStart, comma - fieldStart);
    fieldStart = comma + 1;
    return field;
}

std::size_t countListFields(std::string_view list) {
    return list.empty() ? 0 : static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
}

namespace device {

Listing readListing(std::int32_t count, std::string_view serialNumbers, std::string_view descriptions) {
    const std::size_t serialFields = countListFields(serialNumbers);
    // A description may be empty, so an empty list for one device is that device's description.
    const std::size_t descriptionFields =
        descriptions.empty() && count == 1 ? 1 : countListFields(descriptions);
    const std::size_t listed = std::min<std::size_t>(std::max(count, 0), serialFields);
    Listing listing;
    std::size_t serialStart = 0, descriptionStart = 0;
    for (std::size_t i = 0; i < listed; ++i) {
        ListedDevice &device = listing.devices.emplace_back();
        device.serialNumber = SplitDeviceList(serialNumbers, serialStart);
        if (i < descriptionFields)
            device.description = SplitDeviceList(descriptions, descriptionStart);
    }
    if (count < 0 || static_cast<std::size_t>(count) != serialFields ||
        static_cast<std::size_t>(count) != descriptionFields)
        listing.disagreement = "the device library counts " + std::to_string(count) + " devices but lists " +
                               std::to_string(serialFields) + " serial numbers and " +
                               std::to_string(descriptionFields) + " descriptions";
    return listing;
}

} // namespace device
