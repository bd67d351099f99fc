// What one polling transaction costs on the simulated device: open, read ports 0x00 and 0x01, close,
// through the library's C interface and its shared state file, on a state file of the benchmark's own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PrivateSimulatorState.h"
#include "kavren.h"

namespace {

using Clock = std::chrono::steady_clock;

bool transaction(const char *serial) {
    DeviceHandle handle = 0;
    char message[KAVREN_MESSAGE_SIZE] = {};
    std::uint8_t low = 0, high = 0;
    const bool ok = OpenDevice(serial, &handle) == 0 && ReadPort(handle, 0x00, &low, message) == 0 &&
                    ReadPort(handle, 0x01, &high, message) == 0;
    return CloseDevice(handle) == 0 && ok;
}

} // namespace

int main(int argc, char *argv[]) {
    const int transactions = argc > 1 ? std::atoi(argv[1]) : 100000;
    const PrivateSimulatorState state;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(std::max(transactions, 1)));
    bool ok = transaction("DIO-SIM-0001"); // creates the state file, untimed
    for (int i = 0; i < transactions && ok; ++i) {
        const auto start = Clock::now();
        ok = transaction("DIO-SIM-0001");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (!ok || micros.empty()) {
        std::fprintf(stderr, "sim_transaction: a transaction failed\n");
        return 1;
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double share) {
        return micros[static_cast<std::size_t>(share * (micros.size() - 1))];
    };
    std::printf("polling transaction (open, read 0x00, read 0x01, close), %zu runs: median %.2f us, p99 %.2f "
                "us, max %.1f us (goal: median <= 20 us)\n",
                micros.size(), at(0.5), at(0.99), micros.back());
    return 0;
}
