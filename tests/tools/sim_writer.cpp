// Changes the simulator's shared state over and over, for the tests of concurrent and killed writers.
//   sim_writer ports SERIAL PORT COUNT  open, write 1..COUNT (mod 256), read it back, close; exit 1 when a
//                                       read-back differs (an update was lost)
//   sim_writer devices COUNT            add, unplug, plug and remove a device COUNT times
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "StateFile.h"
#include "kavren.h"

namespace {

int writePorts(const char *serial, int port, int count) {
    for (int i = 1; i <= count; ++i) {
        DeviceHandle handle = 0;
        char message[KAVREN_MESSAGE_SIZE] = {};
        const auto value = static_cast<std::uint8_t>(i);
        std::uint8_t readBack = 0;
        const bool ok = OpenDevice(serial, &handle) == 0 &&
                        WritePort(handle, static_cast<std::uint8_t>(port), value, message) == 0 &&
                        ReadPort(handle, static_cast<std::uint8_t>(port), &readBack, message) == 0;
        CloseDevice(handle);
        if (!ok || readBack != value) {
            std::fprintf(stderr, "write %d of port 0x%02X: %s (read back 0x%02X)\n", i, port, message,
                         readBack);
            return 1;
        }
    }
    return 0;
}

int churnDevices(int count) {
    sim::StateFile file(sim::StateFile::defaultPath());
    std::string error;
    for (int i = 0; i < count; ++i) {
        const std::string serial = "CHURN-" + std::to_string(i % 7);
        const bool ok = file.update(
            [&](sim::State &state) {
                if (sim::Device *device = state.find(serial)) {
                    state.plug(*device, !device->plugged);
                    if (i % 3 == 0)
                        std::erase_if(state.devices,
                                      [&](const sim::Device &d) { return d.serial == serial; });
                } else {
                    state.devices.push_back(
                        {serial, "churning", "1.0-sim", sim::Mode::Manual, true, {}, {}, 1});
                }
                return true;
            },
            error);
        if (!ok) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc == 5 && std::strcmp(argv[1], "ports") == 0)
        return writePorts(argv[2], static_cast<int>(std::strtol(argv[3], nullptr, 0)), std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "devices") == 0)
        return churnDevices(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: sim_writer ports SERIAL PORT COUNT | sim_writer devices COUNT\n");
    return 2;
}
