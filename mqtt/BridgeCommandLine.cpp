#include "BridgeCommandLine.h"

#include <cstdlib>
#include <unistd.h>

#include <mosquitto.h>

#include "Arguments.h"
#include "Console.h"
#include "LibraryOptions.h"
#include "PasswordFile.h"
#include "TlsFiles.h"

namespace mqtt {

namespace {

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

void checkPrefix(const std::string &prefix, const char *option) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
        prefix.find("//") != std::string::npos ||
        mosquitto_pub_topic_check2(prefix.c_str(), prefix.size()) != MOSQ_ERR_SUCCESS ||
        mosquitto_validate_utf8(prefix.c_str(), static_cast<int>(prefix.size())) != MOSQ_ERR_SUCCESS)
        throw CLI::ValidationError(
            std::string(option) +
            " must be UTF-8 topic levels without '+', '#', empty levels or a '/' at either end");
}

std::optional<std::string> password(const Options &options) {
    if (!options.passwordFile.empty()) {
        std::string problem;
        auto password = readPasswordFile(options.passwordFile, problem);
        if (!password)
            throw CLI::ValidationError(problem);
        return password;
    }
    if (const char *variable = std::getenv(PasswordVariable))
        return std::string(variable);
    return std::nullopt;
}

} // namespace

void defineCommandLine(CLI::App &app, Options &options) {
    cli::addLibraryOptions(app, options.library);
    app.footer(device::libraryRuleText());
    app.set_config("--config", "",
                   "read options from this file (NAME = VALUE lines, as for the long options)")
        ->type_name("PATH");
    // A misspelt or unknown name (a "password" line, say) is an error, not a setting silently dropped.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_flag("--version", options.version, "print dio-mqtt's version and the device library in use");
    app.add_option("--broker", options.broker,
                   "mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (default mqtt://localhost)")
        ->type_name("URL");
    app.add_option("--serial", options.serials, "bridge only this device (repeatable; default every device)")
        ->type_name("TEXT:SERIAL");
    app.add_option("--prefix", options.prefix, "first topic levels (default dio)");
    app.add_option("--interval", options.intervalMs,
                   "milliseconds between polls of a device (1 to 60000, default 100)")
        ->check(CLI::Range(1, 60000));
    app.add_option("--rescan", options.rescanSeconds,
                   "seconds between listings of the devices (1 to 3600, default 2)")
        ->check(CLI::Range(1, 3600));
    app.add_option("--client-id", options.clientId, "MQTT client id (default dio-mqtt-HOSTNAME)");
    app.add_option("--protocol", options.protocol, "MQTT version: 3.1.1 (default) or 5")
        ->check(CLI::IsMember({"3.1.1", "5"}));
    app.add_option("--username", options.username, "user name for the broker");
    app.add_option("--password-file", options.passwordFile,
                   "read the password from this file, which only its owner may read (else from " +
                       std::string(PasswordVariable) + ")")
        ->type_name("PATH");
    app.add_option("--cafile", options.cafile, "trust this CA file for mqtts:// (default the system's CAs)")
        ->type_name("PATH");
    app.add_option("--cert", options.cert, "client certificate for mqtts://")->type_name("PATH");
    app.add_option(
           "--key", options.key,
           "the client certificate's private key, in a file only its owner may read (PEM, no passphrase)")
        ->type_name("PATH");
    app.add_flag("--homeassistant", options.homeassistant, "publish Home Assistant discovery configs");
    app.add_option("--homeassistant-prefix", options.discoveryPrefix,
                   "Home Assistant discovery prefix (default homeassistant)");
}

LinkSettings linkSettings(const Options &options, BridgeSettings &bridge) {
    LinkSettings link;
    std::string problem;
    const auto broker = parseBrokerUrl(options.broker, problem);
    if (!broker)
        throw CLI::ValidationError("--broker: " + problem);
    link.broker = *broker;
    checkPrefix(options.prefix, "--prefix");
    checkPrefix(options.discoveryPrefix, "--homeassistant-prefix");
    if (options.cert.empty() != options.key.empty())
        throw CLI::ValidationError("--cert and --key go together");
    if (!broker->tls && (!options.cafile.empty() || !options.cert.empty()))
        throw CLI::ValidationError("--cafile, --cert and --key need an mqtts:// broker");
    if (const std::string problem = tlsFilesProblem(options.cafile, options.cert, options.key);
        !problem.empty())
        throw CLI::ValidationError(problem);
    if (!options.passwordFile.empty() && options.username.empty())
        throw CLI::ValidationError("--password-file needs --username");
    link.mqtt5 = options.protocol == "5";
    link.clientId = options.clientId.empty() ? "dio-mqtt-" + hostName() : options.clientId;
    if (link.clientId.size() > 65535)
        throw CLI::ValidationError("--client-id is too long");
    link.username = options.username;
    if (!options.username.empty())
        link.password = password(options);
    link.cafile = options.cafile;
    link.certfile = options.cert;
    link.keyfile = options.key;
    if (link.password && !broker->tls && !isLocalHost(broker->host))
        cli::Console("dio-mqtt")
            .error("warning: the password goes to " + broker->host +
                   " without TLS, readable on the network; use mqtts://");

    bridge.topics.prefix = options.prefix;
    bridge.interval = std::chrono::milliseconds(options.intervalMs);
    bridge.rescan = std::chrono::seconds(options.rescanSeconds);
    for (const std::string &serial : options.serials)
        bridge.serials.push_back(cli::deviceTextArgument(serial, cli::DeviceText::Serial));
    bridge.homeassistant = options.homeassistant;
    bridge.discoveryPrefix = options.discoveryPrefix;
    link.willTopic = bridge.topics.bridgeState();
    link.subscriptions = {bridge.topics.portCommands(), bridge.topics.bitCommands()};
    return link;
}

} // namespace mqtt
