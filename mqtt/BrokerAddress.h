// Where the broker is: mqtt://host[:port] (plain, 1883) or mqtts://host[:port] (TLS, 8883). An IPv6
// address goes in brackets. Nothing else belongs in the URL: no user or password, which `ps` would show,
// and no path, which MQTT has no use for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mqtt {

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
};

// The address, or nothing with `problem` saying what is wrong with the URL.
std::optional<BrokerAddress> parseBrokerUrl(std::string_view url, std::string &problem);

// Whether the host is this machine by name or loopback address, where a password without TLS stays local.
bool isLocalHost(std::string_view host);

} // namespace mqtt
