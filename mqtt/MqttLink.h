// The connection to the broker, on a network thread of its own: it connects, reconnects with a backoff
// from 1 s to 30 s (reset by an accepted connection), keeps a persistent session (commands sent while the
// bridge was away are delivered when it is back) and hands what arrives to the bridge's thread as events,
// waking it through a descriptor it can wait on. The thread runs libmosquitto's loop itself rather than
// mosquitto_loop_start, whose loop ends for good on some failures (a TLS error) instead of retrying, and
// stops reading once the bridge is closing, so that no command is acknowledged that it cannot apply.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BrokerAddress.h"
#include "Wakeup.h"

struct mosquitto;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;
struct mosquitto_message;

namespace mqtt {

struct LinkSettings {
    BrokerAddress broker;
    bool mqtt5 = false;
    std::string clientId;
    std::string username;
    std::optional<std::string> password;
    std::string cafile, certfile, keyfile;
    std::string willTopic; // gets "offline", retained, when the bridge goes away unannounced
    std::vector<std::string> subscriptions;
};

struct LinkEvent {
    enum class Kind { Connected, Message } kind;
    std::string topic;
    std::string payload;   // at most MaxCommandBytes + 1 bytes: longer ones are cut, and refused as too long
    bool retained = false; // kept by the broker, so no fresh command
};

class MqttLink {
public:
    // A link ready to start, or nothing with `problem` saying why (an unreadable CA, certificate or key).
    // `events` is woken whenever an event is queued.
    static std::unique_ptr<MqttLink> create(const LinkSettings &settings, Wakeup &events,
                                            std::string &problem);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Starts the network thread, which connects and keeps reconnecting.
    bool start(std::string &problem);
    // At QoS 0. Nothing is queued while the broker is away: all that is retained is published again on
    // reconnect. A command is acknowledged to the broker as it is read, before it is applied, and the client
    // library reads at once as many packets as it has QoS 1 messages outstanding: publishing at QoS 1 would
    // let a flood pile up acknowledged commands that a stop cannot apply in time.
    // True when the message was handed to the connection. Refused from a new connection until the bridge
    // took its Connected event: the bridge publishes everything then, and a state published in between
    // would reach subscribers twice.
    bool publish(const std::string &topic, const std::string &payload, bool retain);
    // Whether publish() would hand a message to the connection now.
    bool ready();
    // A receipt for what was handed to the connection so far: `topic` gets `payload`, retained, at QoS 1.
    // Its acknowledgement on the same connection shows that the broker read everything handed before it,
    // since a connection is read in order; one sent again on a later connection shows nothing.
    struct Receipt {
        unsigned connection = 0;
        int mid = 0;
    };
    std::optional<Receipt> publishReceipt(const std::string &topic, const std::string &payload);
    // Whether the receipt was acknowledged on its connection.
    bool confirmed(const Receipt &receipt);
    // Retained, at any moment the broker is connected: the offline notices of a stop.
    bool publishLastWord(const std::string &topic, const std::string &payload);
    // Disconnects after what was published, and ends the network thread.
    void stop();

    // The next event queued, if any; no system call. Whoever waits for events takes them until there are
    // none after each return of its Wakeup's wait.
    std::optional<LinkEvent> nextEvent();
    // Stops reading from the broker; a network thread waiting for room is let go, its event kept. Returns
    // once the network thread reads no more (or after a moment), so no event comes after those then queued.
    void closeEvents();

private:
    MqttLink(LinkSettings settings, Wakeup &events);
    void push(LinkEvent event);
    bool hand(const std::string &topic, const std::string &payload, bool retain, int qos = 0,
              int *mid = nullptr);
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *properties);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    int connectOnce();
    int reconnect();
    int step();
    bool startReading();
    void run();
    void report(const std::string &message);

    LinkSettings settings_;
    mosquitto *client_ = nullptr;
    Wakeup &eventsWake_;
    int networkWakeFd_ = -1; // cuts the network thread's wait short: something to write, or closing
    int keepAliveSeconds_;   // the connection's: an MQTT 5 broker may set a shorter one; the network thread's
    bool started_ = false;
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<LinkEvent> events_;
    bool closed_ = false;
    bool reading_ = false; // the network thread may be reading from the broker
    bool connected_ = false;
    int unannouncedConnects_ = 0;          // Connected events not yet taken by the bridge
    unsigned connection_ = 0;              // counts connections made
    std::set<int> awaited_, acknowledged_; // receipts of the current connection
    std::deque<int> unclaimed_;            // acknowledgements of no awaited receipt, the last few
    bool stopping_ = false;
    bool resetBackoff_ = false; // a connection was accepted at connectedAt_
    std::chrono::steady_clock::time_point connectedAt_;
    int quickLosses_ = 0; // connections in a row taken away soon after they were made
    bool finished_ = false;
    std::condition_variable wake_; // the backoff's wait, cut short by stop()
    std::string lastReport_;
    std::thread network_;
};

} // namespace mqtt
