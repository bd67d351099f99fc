// Sets an input port of a manual simulated device for each line "SERIAL PORT VALUE" on stdin (PORT 0 or 1)
// and answers "ok" once the change is in the shared state, so the bridge benchmark knows when an input
// changed without counting the start of a program.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "StateFile.h"

int main() {
    sim::StateFile file(sim::StateFile::defaultPath());
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string serial;
        unsigned port = 0, value = 0;
        fields >> serial >> port >> value;
        std::string error;
        bool found = false;
        const bool ok = fields && port < 2 && value < 256 &&
                        file.update(
                            [&](sim::State &state) {
                                sim::Device *device = state.find(serial);
                                if (device)
                                    device->inputs[port] = static_cast<std::uint8_t>(value);
                                found = device != nullptr;
                                return found;
                            },
                            error);
        std::printf("%s\n", ok && found ? "ok" : "failed");
        std::fflush(stdout);
    }
}
