// What each dio-sim command does to the simulator's state, apart from reading the command line. Texts
// arrive already in the device's single-byte form; the output and messages show them escaped for a line
// of text, and JSON keeps them exact.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Console.h"
#include "SimState.h"
#include "StateFile.h"

namespace dio_sim {

using Outcome = cli::Exit;

struct Result {
    Outcome outcome = Outcome::Done;
    std::string message; // why it failed, for stderr
    std::string output;  // what it shows, for stdout
};

struct NewDevice {
    std::string serial;
    std::string description;
    sim::Mode mode = sim::Mode::Loopback;
    std::string version = "1.0-sim";
};

struct Fault {
    sim::Operation operation = sim::Operation::ListDevices;
    std::string serial; // empty: every device
    bool always = false;
    std::uint32_t times = 1;
    std::int32_t status = 1;
    std::string message = "Simulated failure";
};

Result status(sim::StateFile &file, bool json);
Result reset(sim::StateFile &file);
Result add(sim::StateFile &file, const NewDevice &device);
Result remove(sim::StateFile &file, const std::string &serial);
Result plug(sim::StateFile &file, const std::string &serial, bool plugIn);
Result set(sim::StateFile &file, const std::string &serial, std::uint8_t port, std::uint8_t value);
Result fail(sim::StateFile &file, const Fault &fault);
Result delay(sim::StateFile &file, sim::Operation operation, std::uint32_t milliseconds,
             const std::string &serial);
Result clear(sim::StateFile &file);

} // namespace dio_sim
