// What the device library's calls cost on their own, on the bridge's ticks: it sleeps to a timer and at each
// tick opens every device, reads its four ports and closes it, as a bridge's poll must, and does nothing
// else. The bridge benchmark runs it beside dio-mqtt, so that the bridge's own share shows apart from the
// library's. Devices: the serial numbers given, or every one the library lists at the start.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "NextTick.h"
#include "kavren.h"

namespace {

std::vector<std::string> listedSerials() {
    int32_t count = 0;
    static char serials[KAVREN_SERIAL_LIST_SIZE + 1], descriptions[KAVREN_DESCRIPTION_LIST_SIZE + 1];
    if (ListDevices(&count, serials, descriptions) != 0 || count < 1)
        return {};
    std::vector<std::string> found;
    for (const char *start = serials;;) {
        const char *comma = std::strchr(start, ',');
        found.emplace_back(start, comma == nullptr ? std::strlen(start) : std::size_t(comma - start));
        if (comma == nullptr)
            return found;
        start = comma + 1;
    }
}

bool poll(const std::string &serial) {
    DeviceHandle handle = 0;
    char message[KAVREN_MESSAGE_SIZE] = {};
    std::uint8_t value = 0;
    bool ok = OpenDevice(serial.c_str(), &handle) == 0;
    for (const std::uint8_t port : {0x00, 0x01, 0x10, 0x11})
        ok = ok && ReadPort(handle, port, &value, message) == 0;
    return CloseDevice(handle) == 0 && ok;
}

} // namespace

int main(int argc, char *argv[]) {
    const long intervalMs = argc > 1 ? std::atol(argv[1]) : 0;
    std::vector<std::string> serials(argv + std::min(argc, 2), argv + argc);
    if (serials.empty())
        serials = listedSerials();
    if (intervalMs < 1 || serials.empty()) {
        std::fprintf(stderr, "usage: mqtt_library_floor INTERVAL_MS [SERIAL...], with devices to poll\n");
        return 2;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        sleepToNextTick(next, intervalMs);
        for (const std::string &serial : serials) {
            if (!poll(serial)) { // a floor that stopped polling would flatter the bridge
                std::fprintf(stderr, "mqtt_library_floor: a call for %s failed\n", serial.c_str());
                return 1;
            }
        }
    }
}
