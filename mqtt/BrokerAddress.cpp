#include "BrokerAddress.h"

#include <arpa/inet.h>
#include <charconv>

namespace mqtt {

namespace {

std::optional<int> portNumber(std::string_view text) {
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

} // namespace

std::optional<BrokerAddress> parseBrokerUrl(std::string_view url, std::string &problem) {
    BrokerAddress address;
    std::string_view rest;
    if (url.starts_with("mqtt://")) {
        rest = url.substr(7);
    } else if (url.starts_with("mqtts://")) {
        address.tls = true;
        rest = url.substr(8);
    } else {
        problem = "the broker URL must start with mqtt:// or mqtts://";
        return std::nullopt;
    }
    if (rest.ends_with('/'))
        rest.remove_suffix(1);
    if (rest.find_first_of("/@?# \t") != std::string_view::npos) {
        problem = "the broker URL holds only mqtt[s]://host[:port]: no user, password or path";
        return std::nullopt;
    }
    std::string_view portText;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close == 1) {
            problem = "an IPv6 address in the broker URL needs its closing bracket";
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) {
            problem = "only :port may follow the host in the broker URL";
            return std::nullopt;
        }
        portText = after.empty() ? after : after.substr(1);
        if (after == ":")
            portText = ":"; // an empty port is refused below
    } else {
        const auto colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string_view::npos)
            portText = rest.substr(colon + 1).empty() ? ":" : rest.substr(colon + 1);
    }
    if (address.host.empty()) {
        problem = "the broker URL names no host";
        return std::nullopt;
    }
    address.port = address.tls ? 8883 : 1883;
    if (!portText.empty()) {
        const auto port = portNumber(portText);
        if (!port) {
            problem = "the port in the broker URL must be a number from 1 to 65535";
            return std::nullopt;
        }
        address.port = *port;
    }
    return address;
}

bool isLocalHost(std::string_view host) {
    if (host == "localhost" || host == "::1")
        return true;
    in_addr address{};
    const std::string text(host);
    return inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

} // namespace mqtt
