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
