#include "MqttLink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "Commands.h"
#include "Console.h"
#include "TlsFiles.h"

namespace mqtt {

namespace {

constexpr int KeepAliveSeconds = 30;
// The library acknowledges a command to the broker as soon as it hands it over. So few are taken ahead
// of the bridge: a command the broker still holds is delivered again after a stop, one taken here is not.
constexpr std::size_t MaxQueuedEvents = 1;
constexpr std::size_t MaxUnclaimed = 64;
constexpr auto FirstRetry = std::chrono::seconds(1);
constexpr auto LastRetry = std::chrono::seconds(30);

// A key's passphrase is never asked for on a terminal: a service has none.
int noPassphrase(char *, int, int, void *) {
    return 0;
}

void wake(int fd) {
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Between packets the network thread wakes only to keep the connection alive: the ping is then at most a
// sixth of the keep-alive time late, well within the broker's grace of half of it. That is every 5 s at the
// bridge's own 30 s; an MQTT 5 broker may set a shorter one, down to a second, and wake the thread sooner.
// Waking every second cost an idle bridge at 100 ms a third of a bare timer's CPU on top of it.
int idleWakeMs(int keepAliveSeconds) {
    return std::max(keepAliveSeconds > 0 ? keepAliveSeconds : KeepAliveSeconds, 1) * 1000 / 6;
}

// The client library of this Debian release has no text for a keep-alive timeout ("Unknown error.").
std::string failureText(int rc, int keepAliveSeconds) {
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    if (rc == MOSQ_ERR_KEEPALIVE)
        return "the broker did not answer within the keep-alive time of " + std::to_string(keepAliveSeconds) +
               " s";
    return mosquitto_strerror(rc);
}

} // namespace

MqttLink::MqttLink(LinkSettings settings, Wakeup &events)
    : settings_(std::move(settings)), eventsWake_(events), keepAliveSeconds_(KeepAliveSeconds) {}

std::unique_ptr<MqttLink> MqttLink::create(const LinkSettings &settings, Wakeup &events,
                                           std::string &problem) {
    mosquitto_lib_init();
    std::unique_ptr<MqttLink> link(new MqttLink(settings, events));
    link->networkWakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    link->client_ = mosquitto_new(settings.clientId.c_str(), false, link.get());
    if (link->networkWakeFd_ < 0 || !link->client_) {
        problem = std::string("cannot set up the MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    mosquitto *client = link->client_;
    mosquitto_threaded_set(client, true);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION,
                         settings.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(client, onConnect);
    mosquitto_disconnect_callback_set(client, onDisconnect);
    mosquitto_message_callback_set(client, onMessage);
    mosquitto_publish_callback_set(client, onPublish);
    mosquitto_log_callback_set(client, onLog);
    int rc = mosquitto_will_set(client, settings.willTopic.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.empty())
        rc = mosquitto_username_pw_set(client, settings.username.c_str(),
                                       settings.password ? settings.password->c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && settings.broker.tls) {
        const char *cert = settings.certfile.empty() ? nullptr : settings.certfile.c_str();
        const char *key = settings.keyfile.empty() ? nullptr : settings.keyfile.c_str();
        if (settings.cafile.empty()) {
            rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS && cert)
                rc = mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", cert, key, noPassphrase);
        } else {
            rc = mosquitto_tls_set(client, settings.cafile.c_str(), nullptr, cert, key, noPassphrase);
        }
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_insecure_set(client, false); // the broker's name is always checked
        if (rc != MOSQ_ERR_SUCCESS) {
            problem =
                "cannot use the TLS files (--cafile, --cert, --key): check that they exist and can be read";
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        problem = std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc);
        return nullptr;
    }
    return link;
}

MqttLink::~MqttLink() {
    stop();
    if (client_)
        mosquitto_destroy(client_);
    if (networkWakeFd_ >= 0 && client_)
        close(networkWakeFd_); // else still the detached thread's
    mosquitto_lib_cleanup();
}

bool MqttLink::start(std::string &problem) {
    try {
        network_ = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        problem = std::string("cannot start the network thread: ") + error.what();
        return false;
    }
    started_ = true;
    return true;
}

int MqttLink::connectOnce() {
    const BrokerAddress &broker = settings_.broker;
    keepAliveSeconds_ = KeepAliveSeconds;
    if (!settings_.mqtt5)
        return mosquitto_connect(client_, broker.host.c_str(), broker.port, KeepAliveSeconds);
    // MQTT 5 ends a session at disconnect unless it is given an expiry: the longest keeps it as 3.1.1 does.
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, UINT32_MAX);
    const int rc = mosquitto_connect_bind_v5(client_, broker.host.c_str(), broker.port, KeepAliveSeconds,
                                             nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void MqttLink::run() {
    auto retry = FirstRetry;
    int rc = connectOnce();
    for (;;) {
        if (rc == MOSQ_ERR_SUCCESS)
            rc = step();
        std::unique_lock lock(mutex_);
        // A connection that held resets the backoff. One taken away at once (another client with the same
        // id, which the broker lets take over) does not, so that two such bridges do not flap every second.
        // A broker that restarts takes one away once too: the client id is named only when it happens again.
        bool takenAway = false;
        if (resetBackoff_ && rc != MOSQ_ERR_SUCCESS) {
            takenAway = std::chrono::steady_clock::now() - connectedAt_ < LastRetry;
            quickLosses_ = takenAway ? quickLosses_ + 1 : 0;
            if (!takenAway)
                retry = FirstRetry;
            resetBackoff_ = false;
        }
        // When stopping, the loop goes on until the disconnect after the last messages has been written.
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        if (stopping_)
            break;
        const std::string reason = failureText(rc, keepAliveSeconds_);
        connected_ = false;
        lock.unlock();
        report("no connection to the broker (" + reason + ")" +
               (takenAway && quickLosses_ > 1
                    ? ", again soon after it was made: is another client using the client id " +
                          settings_.clientId + "?"
                    : "") +
               "; retrying in " + std::to_string(retry.count()) + " s");
        lock.lock();
        if (wake_.wait_for(lock, retry, [this] { return stopping_; }))
            break;
        lock.unlock();
        retry = std::min(retry * 2, std::chrono::seconds(LastRetry));
        rc = reconnect();
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    wake_.notify_all();
}

// The TLS files are read again at every connection. They are checked first as at start, so that one made a
// FIFO meanwhile cannot hold this thread in its open() for good, and a bad one is named.
int MqttLink::reconnect() {
    if (settings_.broker.tls) {
        if (const std::string problem =
                tlsFilesProblem(settings_.cafile, settings_.certfile, settings_.keyfile);
            !problem.empty()) {
            report(problem);
            return MOSQ_ERR_TLS;
        }
    }
    keepAliveSeconds_ = KeepAliveSeconds; // the library asks for its own again; the broker may shorten it
    return mosquitto_reconnect(client_);
}

int MqttLink::step() {
    const int socket = mosquitto_socket(client_);
    if (socket < 0)
        return MOSQ_ERR_NO_CONN;
    bool reading = false;
    {
        std::lock_guard lock(mutex_);
        reading = !closed_; // once closing, what the broker sends stays with it, unacknowledged
    }
    const short wantWrite = mosquitto_want_write(client_) ? POLLOUT : 0;
    pollfd waits[] = {{socket, static_cast<short>((reading ? POLLIN : 0) | wantWrite), 0},
                      {networkWakeFd_, POLLIN, 0}};
    if (poll(waits, 2, idleWakeMs(keepAliveSeconds_)) < 0 && errno != EINTR)
        return MOSQ_ERR_ERRNO;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = read(networkWakeFd_, &count, sizeof count);
    int rc = MOSQ_ERR_SUCCESS;
    if (reading && (waits[0].revents & (POLLIN | POLLHUP | POLLERR)) && startReading()) {
        rc = mosquitto_loop_read(client_, 1);
        std::lock_guard lock(mutex_);
        reading_ = false;
        wake_.notify_all();
    }
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(client_))
        rc = mosquitto_loop_write(client_, 1);
    return rc == MOSQ_ERR_SUCCESS ? mosquitto_loop_misc(client_) : rc;
}

// Checked again just before the read: closeEvents() may have come while the thread waited.
bool MqttLink::startReading() {
    std::lock_guard lock(mutex_);
    reading_ = !closed_;
    return reading_;
}

void MqttLink::report(const std::string &message) {
    {
        std::lock_guard lock(mutex_);
        if (message == lastReport_)
            return;
        lastReport_ = message;
    }
    cli::Console("dio-mqtt").error(message);
}

void MqttLink::onLog(mosquitto *, void *self, int level, const char *text) {
    if (level == MOSQ_LOG_ERR)
        static_cast<MqttLink *>(self)->report(text);
}

void MqttLink::onConnect(mosquitto *client, void *self, int rc, int, const mosquitto_property *properties) {
    auto *link = static_cast<MqttLink *>(self);
    // The library pings at the keep-alive an MQTT 5 broker sets (Server Keep Alive): the thread wakes for it.
    std::uint16_t serverKeepAlive = 0;
    if (mosquitto_property_read_int16(properties, MQTT_PROP_SERVER_KEEP_ALIVE, &serverKeepAlive, false))
        link->keepAliveSeconds_ = serverKeepAlive;
    if (rc != 0) {
        link->report(std::string("the broker refused the connection: ") +
                     (link->settings_.mqtt5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)));
        return;
    }
    for (const std::string &topic : link->settings_.subscriptions)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    {
        std::lock_guard lock(link->mutex_);
        link->connected_ = true;
        ++link->unannouncedConnects_;
        ++link->connection_;
        link->awaited_.clear(); // an earlier connection's receipts show nothing any more
        link->acknowledged_.clear();
        link->unclaimed_.clear();
        link->resetBackoff_ = true;
        link->connectedAt_ = std::chrono::steady_clock::now();
        link->lastReport_.clear();
    }
    cli::Console("dio-mqtt")
        .note("dio-mqtt: connected to the broker " + link->settings_.broker.host + " port " +
              std::to_string(link->settings_.broker.port));
    link->push({LinkEvent::Kind::Connected, {}, {}, false});
}

void MqttLink::onDisconnect(mosquitto *, void *self, int) {
    auto *link = static_cast<MqttLink *>(self);
    std::lock_guard lock(link->mutex_);
    link->connected_ = false;
}

void MqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *message) {
    const auto *bytes = static_cast<const char *>(message->payload);
    const std::size_t length = std::min<std::size_t>(std::max(message->payloadlen, 0), MaxCommandBytes + 1);
    static_cast<MqttLink *>(self)->push({LinkEvent::Kind::Message, message->topic,
                                         bytes ? std::string(bytes, length) : std::string(),
                                         message->retain});
}

void MqttLink::push(LinkEvent event) {
    std::unique_lock lock(mutex_);
    // A flood of commands waits here, so the broker holds back the rest instead of the bridge's memory.
    // Once closing, a command already acknowledged is kept: the bridge applies it before it ends.
    room_.wait(lock, [this] { return closed_ || events_.size() < MaxQueuedEvents; });
    events_.push_back(std::move(event));
    lock.unlock();
    eventsWake_.wake();
}

std::optional<LinkEvent> MqttLink::nextEvent() {
    std::lock_guard lock(mutex_);
    if (events_.empty())
        return std::nullopt;
    LinkEvent event = std::move(events_.front());
    events_.pop_front();
    if (event.kind == LinkEvent::Kind::Connected)
        --unannouncedConnects_;
    room_.notify_one();
    return event;
}

void MqttLink::closeEvents() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    room_.notify_all();
    wake(networkWakeFd_);
    // A read under way may still deliver commands: the bridge applies them before its last words.
    wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return !reading_; });
}

bool MqttLink::ready() {
    std::lock_guard lock(mutex_);
    return connected_ && unannouncedConnects_ == 0;
}

bool MqttLink::publish(const std::string &topic, const std::string &payload, bool retain) {
    return ready() && hand(topic, payload, retain);
}

std::optional<MqttLink::Receipt> MqttLink::publishReceipt(const std::string &topic,
                                                          const std::string &payload) {
    unsigned connection = 0;
    {
        std::lock_guard lock(mutex_);
        if (!connected_ || unannouncedConnects_ > 0)
            return std::nullopt;
        connection = connection_;
    }
    int mid = 0;
    if (!hand(topic, payload, true, 1, &mid))
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (connection != connection_)
        return std::nullopt; // handed to a connection now gone, or to the next one: it shows nothing
    // Message ids wrap around on a long connection: one acknowledged long ago says nothing of this receipt.
    acknowledged_.erase(mid);
    // Not locked while handed, so its acknowledgement may already have come.
    if (std::erase(unclaimed_, mid) > 0)
        acknowledged_.insert(mid);
    else
        awaited_.insert(mid);
    return Receipt{connection, mid};
}

bool MqttLink::confirmed(const Receipt &receipt) {
    std::lock_guard lock(mutex_);
    return receipt.connection == connection_ && acknowledged_.contains(receipt.mid);
}

// Called for every message written at QoS 0 and every acknowledgement at QoS 1.
void MqttLink::onPublish(mosquitto *, void *self, int mid) {
    auto *link = static_cast<MqttLink *>(self);
    std::lock_guard lock(link->mutex_);
    if (link->awaited_.erase(mid) > 0) {
        link->acknowledged_.insert(mid);
        return;
    }
    // The last few, for a receipt whose acknowledgement came before it was awaited.
    link->unclaimed_.push_back(mid);
    if (link->unclaimed_.size() > MaxUnclaimed)
        link->unclaimed_.pop_front();
}

bool MqttLink::publishLastWord(const std::string &topic, const std::string &payload) {
    {
        std::lock_guard lock(mutex_);
        if (!connected_)
            return false;
    }
    return hand(topic, payload, true);
}

bool MqttLink::hand(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid) {
    const bool handed =
        MOSQ_ERR_SUCCESS == mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                              payload.data(), qos, retain);
    wake(networkWakeFd_); // the network thread writes it
    return handed;
}

void MqttLink::stop() {
    if (!started_)
        return;
    started_ = false;
    closeEvents();
    std::unique_lock lock(mutex_);
    stopping_ = true;
    lock.unlock();
    mosquitto_disconnect(client_);
    wake(networkWakeFd_);
    lock.lock();
    wake_.notify_all();
    // A connection attempt can block in the kernel; the bridge does not wait for it past a moment.
    if (wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return finished_; })) {
        lock.unlock();
        network_.join();
    } else {
        network_.detach();
        client_ = nullptr; // still the thread's: left to the end of the process
    }
}

} // namespace mqtt
