// The bridge's own thread: polls every bridged device on its interval and publishes what changed, lists
// the devices again on the rescan period, applies the commands that arrive, and republishes everything
// when the broker connection is (re)made. Every device call is made here, one at a time.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "MqttLink.h"
#include "Payloads.h"
#include "StopSignal.h"

namespace mqtt {

struct BridgeSettings {
    Topics topics;
    std::chrono::milliseconds interval{100};
    std::chrono::seconds rescan{2};
    std::vector<std::string> serials; // the library's bytes; empty: every device
    bool homeassistant = false;
    std::string discoveryPrefix = "homeassistant";
};

class Bridge {
public:
    Bridge(BridgeSettings settings, MqttLink &link, StopSignal &stop);
    // Runs until a stop is asked for; then publishes offline for all and disconnects.
    void run();
    // What the stop watcher publishes when the bridge is held up in a library call.
    void lastWords();

private:
    using Clock = std::chrono::steady_clock;
    struct Device {
        BridgedDevice info;
        device::SerialNumberBuffer serial;
        std::optional<bool> available{};
        bool offlineTold = false;   // "offline" was handed to the connection the link has (or last had)
        bool departureTold = false; // gone, and its departure handed to the connection
        std::optional<MqttLink::Receipt> receipt{}; // published after its departure
        std::optional<PortState> published{};
        std::optional<CallFailure> lastFailure{};
        bool polled = false;
    };

    void handleEvents(bool stopping = false);
    void rescan();
    void poll(Device &device);
    void command(const LinkEvent &event);
    void applyCommand(Device &device, const std::string &topic, const std::string &payload,
                      const std::vector<std::string_view> &levels);
    void republish();
    void publishDevices();
    bool publishDiscovery(const BridgedDevice &device, bool present);
    bool publishDeparture(const Device &gone, bool trustEarlierOffline);
    void askReceipt();
    void describe(Device &device);
    void forgetConfirmedDepartures();
    void publishAvailability(Device &device);
    void setAvailable(Device &device, bool available);
    void publishState(Device &device, const PortState &state);
    void publishFailure(Device &device, const CallFailure &failure);
    void shareLastWords();
    Device *find(std::string_view serial);

    BridgeSettings settings_;
    MqttLink &link_;
    StopSignal &stop_;
    std::vector<Device> devices_;
    std::set<std::string> skipped_; // serial numbers already told as not bridged
    std::optional<CallFailure> listFailure_;
    std::optional<ListedText> lastListed_; // the library's last listing, as it gave it
    // Devices gone whose departure the broker is not known to have read: told on every new connection and
    // in the last words until a receipt after it is acknowledged, or the broker would keep them online.
    std::vector<Device> departed_;
    std::mutex sharedMutex_;
    // The retained topics and payloads of the stop's last words, said by the bridge's thread or the
    // watcher's.
    std::vector<std::pair<std::string, std::string>> sharedLastWords_;
};

} // namespace mqtt
