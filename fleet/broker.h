// The connection to the MQTT broker that publisher and collector share:
// their common options, and a libmosquitto client driven from the program's
// own poll loop, reconnecting with backoff.
#ifndef SF_FLEET_BROKER_H
#define SF_FLEET_BROKER_H

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reasons.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

// MQTT v5 user properties: names and values, a name perhaps more than once.
using UserProperties = std::vector<std::pair<std::string, std::string>>;

// User properties built once, for messages sent often with the same ones.
class PropertyList {
public:
    explicit PropertyList(const UserProperties &properties);
    ~PropertyList();
    PropertyList(const PropertyList &) = delete;
    PropertyList &operator=(const PropertyList &) = delete;
    const mosquitto_property *list() const { return list_; }

private:
    mosquitto_property *list_ = nullptr;
};

struct BrokerOptions {
    std::string host = "localhost";
    int port = 1883;
    bool tls = false;
    std::string prefix = "sflogger";
    std::string user;  // none when empty; the password comes from SF_MQTT_PASSWORD (credentials.h)
    std::string cafile, cert, key;
};

// The long options both programs take beside -b, -t and -u.
enum { option_cafile = 256, option_cert, option_key, option_metrics };

// Takes one of -b, -t, -u, --cafile, --cert, --key. Returns 1 when option
// was one of them and its argument fits, 0 when it was none, -1 when the
// argument is wrong (error set to one line).
int take_broker_option(int option, const char *arg, BrokerOptions &options, std::string &error);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT].
bool parse_broker_url(const char *url, BrokerOptions &options);

// Who the client is to the broker.
struct Session {
    std::string id;                // the client id
    bool clean = true;             // false: a persistent session
    std::string will_topic, will;  // no will when will_topic is empty
    std::string from;              // said with the will, as with publish()
    std::string taken_over;        // what it means when another client takes the session over
    // QoS 1 messages the broker may have in flight to us under MQTT v5,
    // 1 to 65,535; 0: libmosquitto's default, 20.
    int receive_maximum = 0;
};

// One client of the broker, in a single thread.
class BrokerLink {
public:
    explicit BrokerLink(const BrokerOptions &options);
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Creates the client. False, with error set, when it cannot.
    bool open(const Session &session, std::string &error);

    std::function<void()> on_up;    // connected: subscribe and announce here
    std::function<void()> on_down;  // the connection that was up is gone
    std::function<void(const std::string &filter)> on_subscribed;
    // The broker answered a QoS 1 publish (under v5 only): taken, or refused
    // for a reason that is only said.
    std::function<void(const std::string &topic, bool taken)> on_settled;
    // from: the sender's "from" user property (MQTT v5), or empty.
    std::function<void(const mosquitto_message &, const std::string &from)> on_message;
    // While on_message runs: the values of the message's user properties named name.
    std::vector<std::string> properties_of(const char *name) const;
    // While on_message runs: all its user properties.
    UserProperties properties() const;

    // Connects when a retry is due, then waits up to timeout for the broker
    // or for fd (when not -1) to be readable, and does what libmosquitto has
    // to do. Returns false on a failure that retrying cannot mend (error
    // set): refused credentials, a certificate that does not verify, a
    // session taken over, a publish or subscription the broker refuses.
    bool turn(int fd, std::chrono::milliseconds timeout, bool &fd_ready, std::string &error);
    bool up() const { return state_ == State::up; }
    // Under MQTT v5 the broker says when it refuses a publish; under 3.1.1 it drops it unsaid.
    bool hears_refusals() const { return v5_; }
    // Whether libmosquitto's next message id is one a publish or subscription
    // still waits on: a QoS 0 publish's "published" under it would pass for
    // that one's answer.
    bool next_id_taken() const { return topics_.count(last_mid_ == 65535 ? 1 : last_mid_ + 1) != 0; }
    // Refused for good (refuse, or the broker), and why.
    bool refused() const { return state_ == State::refused; }
    const std::string &refusal() const { return refusal_; }

    // QoS 1 publishing, saying who sends it when from is given, and with
    // more user properties (under MQTT v5 only); false when not connected or
    // the client refuses it. A publish the broker refuses ends the link,
    // unless it is not required, as with subscribe.
    bool publish(const std::string &topic, const void *payload, std::size_t size, bool retain,
                 const std::string &from = "", const UserProperties &more = {}, bool required = true);
    // The same with properties built once (under MQTT v5 only).
    bool publish(const std::string &topic, const void *payload, std::size_t size, bool retain,
                 const PropertyList &properties, bool required = true);
    // QoS 0 publishing, for messages sent again when lost: the broker
    // answers nothing, so that it refuses one goes unheard.
    bool publish_unconfirmed(const std::string &topic, const void *payload, std::size_t size, bool retain,
                             const PropertyList &properties);
    // A subscription the broker refuses ends the link, unless it is not
    // required: then that is said once, and the program goes on without it.
    bool subscribe(const std::string &topic, bool required = true, int qos = 1);
    // Ends the connection for a reason retrying cannot mend: turn returns
    // false with why as its error.
    void refuse(const std::string &why);
    // Sends what is queued and disconnects, waiting at most a second.
    void close_cleanly();

private:
    // Where the connection is: waiting to try again, waiting for the
    // broker's CONNACK, connected, or refused for good.
    enum class State { idle, connecting, up, refused };

    struct Pending {
        std::string topic;
        bool required;
    };

    int connect();
    bool send(const std::string &topic, const void *payload, std::size_t size, bool retain,
              const mosquitto_property *properties, bool required, int qos = 1);
    void lost(std::string why);
    void go_without(const Pending &pending, const std::string &why);
    void fall_back();
    void set_state(State state);
    void speak(bool v5);
    bool tls_failed(std::string &error) const;
    static void connected(mosquitto *client, void *self, int rc, int flags, const mosquitto_property *properties);
    static void disconnected(mosquitto *client, void *self, int rc, const mosquitto_property *properties);
    static void published(mosquitto *client, void *self, int mid, int rc, const mosquitto_property *properties);
    static void subscribed(mosquitto *client, void *self, int mid, int count, const int *granted,
                           const mosquitto_property *properties);
    static void message(mosquitto *client, void *self, const mosquitto_message *message,
                        const mosquitto_property *properties);

    BrokerOptions options_;
    mosquitto *client_ = nullptr;
    State state_ = State::idle;
    bool reported_ = false;   // that the broker cannot be reached, once
    bool v5_ = true;          // MQTT v5, until the broker shows it speaks only 3.1.1
    bool fell_back_ = false;  // and said so
    bool clean_ = true;
    Speaker speaker_;
    std::string refusal_;                            // why, when refused for good
    const mosquitto_property *delivered_ = nullptr;  // of the message on_message is given
    // QoS 0 publishes libmosquitto has yet to write, whose "published"
    // calls must not be taken for a QoS 1 publish's PUBACK: both draw their
    // ids from one 16-bit counter.
    std::unordered_set<int> quiet_;
    bool sending_quietly_ = false, written_ = false;
    int last_mid_ = 0;                         // libmosquitto's last message id: the next is one more, 0 skipped
    std::unordered_map<int, Pending> topics_;  // publishes (under v5) and subscriptions in flight
    std::set<std::string> said_;               // topics refused and gone without
    std::chrono::seconds backoff_{1};
    std::chrono::steady_clock::time_point retry_at_{};
    std::chrono::steady_clock::time_point answer_by_{};  // of the CONNACK, while connecting
};

#endif
