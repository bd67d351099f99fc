// Benchmarks drive the simulated devices (write outputs, pick devices by serial number), so they run on a
// state file of their own: a temporary one, removed at the end, unless KAVREN_SIM_STATE names one. A
// user's simulated devices are never touched.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class PrivateSimulatorState {
public:
    PrivateSimulatorState() {
        if (std::getenv("KAVREN_SIM_STATE") != nullptr)
            return;
        char directory[] = "/tmp/diopanel-bench.XXXXXX";
        if (mkdtemp(directory) == nullptr)
            return;
        directory_ = directory;
        setenv("KAVREN_SIM_STATE", (directory_ + "/kavren-sim.state").c_str(), 1);
    }
    ~PrivateSimulatorState() {
        std::error_code ignored;
        if (!directory_.empty())
            std::filesystem::remove_all(directory_, ignored);
    }
    PrivateSimulatorState(const PrivateSimulatorState &) = delete;
    PrivateSimulatorState &operator=(const PrivateSimulatorState &) = delete;

private:
    std::string directory_;
};
