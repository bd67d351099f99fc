#include "Bridge.h"

#include <algorithm>
#include <unistd.h>

#include "Console.h"
#include "TextRules.h"

namespace mqtt {

namespace {

std::vector<std::string_view> splitLevels(std::string_view topic) {
    std::vector<std::string_view> levels;
    for (std::size_t start = 0;;) {
        const std::size_t slash = topic.find('/', start);
        levels.push_back(topic.substr(start, slash - start));
        if (slash == std::string_view::npos)
            return levels;
        start = slash + 1;
    }
}

void tell(const std::string &message) {
    cli::Console("dio-mqtt").error(message);
}

} // namespace

Bridge::Bridge(BridgeSettings settings, MqttLink &link, StopSignal &stop)
    : settings_(std::move(settings)), link_(link), stop_(stop) {}

void Bridge::run() {
    auto nextRescan = Clock::now();
    auto nextTick = Clock::now();
    while (!stop_.requested()) {
        if (Clock::now() >= nextRescan) {
            rescan();
            nextRescan = std::max(nextRescan + settings_.rescan, Clock::now());
        }
        // Every device is polled on one tick, so that the thread wakes once an interval however many
        // devices it bridges; one found by a rescan is read at once and joins the tick after.
        const bool due = Clock::now() >= nextTick;
        for (Device &device : devices_) {
            if (stop_.requested())
                break;
            if (due || !device.polled) {
                poll(device);
                device.polled = true;
            }
            handleEvents();
        }
        // Ticks keep their rhythm however long a pass took, and never bunch up after a slow one.
        if (due)
            nextTick = std::max(nextTick + settings_.interval, Clock::now());
        stop_.wakeup().waitUntil(std::min(nextRescan, nextTick)); // woken by a stop or an event
        handleEvents();
        if (!departed_.empty())
            forgetConfirmedDepartures();
    }
    if (!stop_.claim())
        for (;;)
            pause(); // the watcher is saying the last words with the link, and ends the process
    link_.closeEvents();
    handleEvents(true); // commands already taken from the broker are applied, not dropped
    lastWords();
    handleEvents(true); // and those taken while the link was closing, though their read-backs go nowhere
}

void Bridge::lastWords() {
    std::vector<std::pair<std::string, std::string>> words;
    {
        std::lock_guard lock(sharedMutex_);
        words = sharedLastWords_;
    }
    for (const auto &[topic, payload] : words)
        link_.publishLastWord(topic, payload);
    link_.publishLastWord(settings_.topics.bridgeState(), "offline");
    link_.stop();
}

void Bridge::handleEvents(bool stopping) {
    // A stream of commands does not hold up a stop: those the broker still holds wait for the next start.
    while (stopping || !stop_.requested()) {
        auto event = link_.nextEvent();
        if (!event)
            return;
        if (event->kind == LinkEvent::Kind::Connected)
            republish();
        else
            command(*event);
    }
}

Bridge::Device *Bridge::find(std::string_view serial) {
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [serial](const Device &device) { return device.info.serial == serial; });
    return found == devices_.end() ? nullptr : &*found;
}

void Bridge::rescan() {
    ListedText text;
    if (const Outcome failure = listDevices(text)) {
        // Remembered only once told, so that a fault met while the broker was away is told when it is back.
        if (failure != listFailure_ &&
            link_.publish(settings_.topics.bridgeError(), failureJson(*failure), false))
            listFailure_ = failure;
        return;
    }
    listFailure_.reset();
    // The devices bridged follow from the listing alone: the same one as last time changes nothing.
    if (lastListed_ && text == *lastListed_)
        return;
    lastListed_ = text;
    const device::Listing listing = text.listing();
    std::vector<Device> kept;
    bool changed = false;
    for (const device::ListedDevice &listed : listing.devices) {
        const std::string &serial = listed.serialNumber;
        if (!settings_.serials.empty() &&
            std::find(settings_.serials.begin(), settings_.serials.end(), serial) == settings_.serials.end())
            continue;
        std::string problem;
        if (auto ruleProblem = device::serialProblem(serial))
            problem = *ruleProblem;
        else
            problem = topicLevelProblem(serial);
        if (!problem.empty()) {
            if (skipped_.insert(serial).second)
                tell("device " + device::printableText(serial) + " is not bridged: its serial number " +
                     problem);
            continue;
        }
        if (std::any_of(kept.begin(), kept.end(), [&](const Device &d) { return d.info.serial == serial; }))
            continue; // listed twice: bridged once
        if (Device *known = find(serial)) {
            // Another device under the same serial, swapped within one rescan: told as it is now.
            if (known->info.description != listed.description) {
                known->info.description = listed.description;
                describe(*known);
                changed = true;
            }
            kept.push_back(std::move(*known));
            known->info.serial.clear(); // moved: no longer found among the old ones
            continue;
        }
        std::erase_if(departed_, [&](const Device &gone) { return gone.info.serial == serial; });
        Device fresh{.info = {serial, listed.description, {}}, .serial = device::serialNumberBuffer(serial)};
        describe(fresh);
        kept.push_back(std::move(fresh));
        changed = true;
    }
    for (Device &gone : devices_) {
        if (gone.info.serial.empty())
            continue;
        gone.departureTold = publishDeparture(gone, true);
        departed_.push_back(std::move(gone));
        changed = true;
    }
    devices_ = std::move(kept);
    if (changed) {
        shareLastWords();
        publishDevices();
        askReceipt();
    }
}

// Reads the version of a device new to the bridge, or listed anew, and tells its discovery configs: those of
// the devices kept as they were are already there.
void Bridge::describe(Device &device) {
    device.info.version.clear();
    if (const Outcome failure = readVersion(device.serial, device.info.version))
        publishFailure(device, *failure);
    if (settings_.homeassistant)
        publishDiscovery(device.info, true);
}

// A departure is handed at QoS 0, like everything else, and may die with its connection unread; so a
// receipt follows it, and it is told again until the broker acknowledged one.
void Bridge::askReceipt() {
    const auto unreceipted = [](const Device &gone) { return gone.departureTold && !gone.receipt; };
    if (std::none_of(departed_.begin(), departed_.end(), unreceipted))
        return;
    const auto receipt = link_.publishReceipt(settings_.topics.bridgeState(), "online");
    for (Device &gone : departed_)
        if (unreceipted(gone))
            gone.receipt = receipt;
}

void Bridge::forgetConfirmedDepartures() {
    if (std::erase_if(departed_, [this](const Device &gone) {
            return gone.receipt && link_.confirmed(*gone.receipt);
        }) > 0)
        shareLastWords();
}

void Bridge::poll(Device &device) {
    PortState state{};
    if (const Outcome failure = readState(device.serial, state)) {
        setAvailable(device, failure->operation != "OpenDevice"); // a device that opens is there
        publishFailure(device, *failure);
        return;
    }
    device.lastFailure.reset();
    setAvailable(device, true);
    if (device.published != state)
        publishState(device, state);
}

void Bridge::command(const LinkEvent &event) {
    const std::string &topic = event.topic;
    const std::string &prefix = settings_.topics.prefix;
    if (!topic.starts_with(prefix + "/"))
        return;
    const auto levels = splitLevels(std::string_view(topic).substr(prefix.size() + 1));
    // A persistent session may still hold the subscriptions of an earlier prefix: only this one's shapes.
    if ((levels.size() != 2 && levels.size() != 4) || levels[1] != "set")
        return;
    const std::string errorTopic = prefix + "/" + std::string(levels[0]) + "/error";
    const auto serial = device::latin1FromUtf8(levels[0]);
    Device *target = serial ? find(*serial) : nullptr;
    if (!target) {
        link_.publish(errorTopic, refusalJson("no bridged device has this serial number", topic), false);
        return;
    }
    // A retained command would be applied again at every subscription, long after it was meant.
    if (event.retained) {
        link_.publish(
            errorTopic,
            refusalJson("a retained command is not applied; publish commands without retain", topic), false);
        return;
    }
    applyCommand(*target, topic, event.payload, levels);
}

void Bridge::applyCommand(Device &device, const std::string &topic, const std::string &payload,
                          const std::vector<std::string_view> &levels) {
    PortState state{};
    Outcome failure;
    if (levels.size() == 2) {
        auto parsed = parsePortCommand(payload);
        if (const auto *refusal = std::get_if<Refusal>(&parsed)) {
            link_.publish(settings_.topics.error(device.info.serial), refusalJson(refusal->reason, topic),
                          false);
            return;
        }
        failure = writePorts(device.serial, std::get<std::vector<PortWrite>>(parsed), state);
    } else {
        auto parsed = parseBitCommand(levels[2], levels[3], payload);
        if (const auto *refusal = std::get_if<Refusal>(&parsed)) {
            link_.publish(settings_.topics.error(device.info.serial), refusalJson(refusal->reason, topic),
                          false);
            return;
        }
        failure = writeBit(device.serial, std::get<BitWrite>(parsed), state);
    }
    if (failure) {
        // Told every time: each command deserves its answer.
        device.lastFailure.reset();
        publishFailure(device, *failure);
        return;
    }
    setAvailable(device, true);
    publishState(device, state); // the read-back answers the command, changed or not
}

void Bridge::republish() {
    link_.publish(settings_.topics.bridgeState(), "online", true);
    for (Device &gone : departed_) {
        gone.departureTold = publishDeparture(gone, false);
        gone.receipt.reset();
    }
    askReceipt();
    publishDevices();
    for (Device &device : devices_) {
        if (device.available)
            publishAvailability(device);
        if (device.published)
            link_.publish(settings_.topics.device(device.info.serial), stateJson(*device.published), true);
        if (settings_.homeassistant)
            publishDiscovery(device.info, true);
    }
}

bool Bridge::publishDeparture(const Device &gone, bool trustEarlierOffline) {
    // An offline told before counts while its connection is still up; the receipt covers it too.
    const bool told = (trustEarlierOffline && gone.offlineTold && link_.ready()) ||
                      link_.publish(settings_.topics.availability(gone.info.serial), "offline", true);
    return (!settings_.homeassistant || publishDiscovery(gone.info, false)) && told;
}

void Bridge::publishDevices() {
    std::vector<BridgedDevice> list;
    for (const Device &device : devices_)
        list.push_back(device.info);
    link_.publish(settings_.topics.bridgeDevices(), devicesJson(list), true);
}

bool Bridge::publishDiscovery(const BridgedDevice &device, bool present) {
    bool handed = true;
    for (const auto &[topic, config] : discoveryConfigs(device, settings_.topics, settings_.discoveryPrefix))
        handed = link_.publish(topic, present ? config : std::string(), true) && handed;
    return handed;
}

void Bridge::setAvailable(Device &device, bool available) {
    if (device.available == available)
        return;
    device.available = available;
    publishAvailability(device);
}

void Bridge::publishAvailability(Device &device) {
    const bool online = device.available.value_or(false);
    const bool told =
        link_.publish(settings_.topics.availability(device.info.serial), online ? "online" : "offline", true);
    device.offlineTold = told && !online;
}

void Bridge::publishState(Device &device, const PortState &state) {
    device.published = state;
    link_.publish(settings_.topics.device(device.info.serial), stateJson(state), true);
}

void Bridge::publishFailure(Device &device, const CallFailure &failure) {
    if (device.lastFailure == failure)
        return; // a device that keeps failing the same way is told once, not on every poll
    if (link_.publish(settings_.topics.error(device.info.serial), failureJson(failure), false))
        device.lastFailure =
            failure; // once told: a fault met while the broker was away is told when it is back
}

// Every device is told offline; one gone while the broker was away also has its departure told, since the
// watcher may speak before a reconnect's republish did.
void Bridge::shareLastWords() {
    std::vector<std::pair<std::string, std::string>> words;
    for (const Device &device : devices_)
        words.emplace_back(settings_.topics.availability(device.info.serial), "offline");
    for (const Device &gone : departed_) {
        words.emplace_back(settings_.topics.availability(gone.info.serial), "offline");
        if (settings_.homeassistant)
            for (auto &[topic, config] :
                 discoveryConfigs(gone.info, settings_.topics, settings_.discoveryPrefix))
                words.emplace_back(std::move(topic), std::string());
    }
    std::lock_guard lock(sharedMutex_);
    sharedLastWords_ = std::move(words);
}

} // namespace mqtt
