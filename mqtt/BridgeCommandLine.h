// dio-mqtt's options, on the command line or in a configuration file (--config, read by CLI11), and
// their checks. Bad usage is found here, before the device library is loaded or the broker reached.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Bridge.h"
#include "LibraryLoader.h"
#include "MqttLink.h"

namespace mqtt {

struct Options {
    device::LibraryRequest library;
    bool version = false;
    std::string broker = "mqtt://localhost";
    std::vector<std::string> serials;
    std::string prefix = "dio";
    int intervalMs = 100;
    int rescanSeconds = 2;
    std::string clientId;
    std::string protocol = "3.1.1";
    std::string username, passwordFile, cafile, cert, key;
    bool homeassistant = false;
    std::string discoveryPrefix = "homeassistant";
};

void defineCommandLine(CLI::App &app, Options &options);

// The link and bridge settings from checked options; throws CLI::ValidationError for bad usage, and
// reads the password (a password file that may not be used is bad usage too).
LinkSettings linkSettings(const Options &options, BridgeSettings &bridge);

} // namespace mqtt
