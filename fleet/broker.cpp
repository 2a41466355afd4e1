#include "broker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "credentials.h"
#include "numbers.h"
#include "reasons.h"
#include "warn.h"

namespace {

constexpr std::chrono::seconds max_backoff{30};
constexpr std::chrono::seconds answer_time{30};  // for the broker's CONNACK
const int keepalive_seconds = 30;
const int reads_a_turn = 16;
// The MQTT v5 user property that names who sent a message.
const char from_property[] = "from";

}  // namespace

bool parse_broker_url(const char *url, BrokerOptions &options) {
    std::string rest = url;
    if (rest.rfind("mqtt://", 0) == 0) {
        options.tls = false;
        options.port = 1883;
        rest.erase(0, 7);
    } else if (rest.rfind("mqtts://", 0) == 0) {
        options.tls = true;
        options.port = 8883;
        rest.erase(0, 8);
    } else {
        return false;
    }
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        if (!parse_port(rest.c_str() + colon + 1, false, options.port)) return false;
        rest.erase(colon);
    }
    if (rest.empty() || rest.find_first_of("/@[]") != std::string::npos) return false;
    options.host = rest;
    return true;
}

int take_broker_option(int option, const char *arg, BrokerOptions &options, std::string &error) {
    switch (option) {
        case 'b':
            if (parse_broker_url(arg, options)) return 1;
            error = std::string("not a broker: ") + arg + " (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])";
            return -1;
        case 't':
            if (*arg != '\0' && std::strpbrk(arg, "+#") == nullptr) {
                options.prefix = arg;
                return 1;
            }
            error = std::string("not a topic prefix: ") + arg;
            return -1;
        case 'u':
            options.user = arg;
            return 1;
        case option_cafile:
            options.cafile = arg;
            return 1;
        case option_cert:
            options.cert = arg;
            return 1;
        case option_key:
            options.key = arg;
            return 1;
        default:
            return 0;
    }
}

PropertyList::PropertyList(const UserProperties &properties) {
    for (const auto &property : properties)
        mosquitto_property_add_string_pair(&list_, MQTT_PROP_USER_PROPERTY, property.first.c_str(),
                                           property.second.c_str());
}

PropertyList::~PropertyList() { mosquitto_property_free_all(&list_); }

BrokerLink::BrokerLink(const BrokerOptions &options) : options_(options) { mosquitto_lib_init(); }

BrokerLink::~BrokerLink() {
    if (client_ != nullptr) mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
}

bool BrokerLink::open(const Session &session, std::string &error) {
    client_ = mosquitto_new(session.id.c_str(), session.clean, this);
    if (client_ == nullptr) {
        error = std::string("mosquitto_new: ") + std::strerror(errno);
        return false;
    }
    clean_ = session.clean;
    const Credentials credentials = read_credentials(options_.user);
    speaker_ = {options_.user, session.taken_over, describe_credentials(credentials)};
    mosquitto_connect_v5_callback_set(client_, connected);
    mosquitto_disconnect_v5_callback_set(client_, disconnected);
    mosquitto_publish_v5_callback_set(client_, published);
    mosquitto_subscribe_v5_callback_set(client_, subscribed);
    mosquitto_message_v5_callback_set(client_, message);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    int rc = MOSQ_ERR_SUCCESS;
    const char *call = nullptr;
    const auto check = [&](const char *name, int result) {
        if (rc == MOSQ_ERR_SUCCESS && result != MOSQ_ERR_SUCCESS) rc = result, call = name;
    };
    // Sent under v5 only: a broker of 3.1.1 keeps its own limit.
    if (session.receive_maximum != 0)
        check("mosquitto_int_option", mosquitto_int_option(client_, MOSQ_OPT_RECEIVE_MAXIMUM, session.receive_maximum));
    if (!options_.user.empty())
        check("mosquitto_username_pw_set",
              mosquitto_username_pw_set(client_, options_.user.c_str(),
                                        credentials.has_password ? credentials.password.c_str() : nullptr));
    if (!session.will_topic.empty()) {
        mosquitto_property *properties = nullptr;
        if (v5_ && !session.from.empty())
            mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, from_property,
                                               session.from.c_str());
        const int set =
            mosquitto_will_set_v5(client_, session.will_topic.c_str(), static_cast<int>(session.will.size()),
                                  session.will.data(), 1, true, properties);
        if (set != MOSQ_ERR_SUCCESS) mosquitto_property_free_all(&properties);
        check("mosquitto_will_set_v5", set);
    }
    if (options_.tls) {
        const auto given = [](const std::string &path) { return path.empty() ? nullptr : path.c_str(); };
        if (options_.cafile.empty())
            check("mosquitto_int_option", mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1));
        if (rc == MOSQ_ERR_SUCCESS)
            check("mosquitto_tls_set", mosquitto_tls_set(client_, given(options_.cafile),
                                                         options_.cafile.empty() ? "/etc/ssl/certs" : nullptr,
                                                         given(options_.cert), given(options_.key), nullptr));
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client set-up: ") + call + ": " + describe_client_error(rc);
        return false;
    }
    return true;
}

void BrokerLink::connected(mosquitto * /*client*/, void *self, int rc, int /*flags*/,
                           const mosquitto_property * /*properties*/) {
    auto &link = *static_cast<BrokerLink *>(self);
    const Answer answer = read_connack(rc, link.v5_, link.speaker_);
    switch (answer.reaction) {
        case Reaction::go_on:
            break;
        case Reaction::fall_back:
            return link.fall_back();
        case Reaction::stop:
            return link.refuse(answer.text);
        default:
            return link.lost(answer.text);
    }
    link.backoff_ = std::chrono::seconds(1);
    if (link.reported_) warn("broker %s:%d is back", link.options_.host.c_str(), link.options_.port);
    link.reported_ = false;
    link.set_state(State::up);
}

// Our own disconnects and lost connections come here too, with libmosquitto's
// error numbers, all below the first reason code of a broker's DISCONNECT.
void BrokerLink::disconnected(mosquitto * /*client*/, void *self, int rc, const mosquitto_property * /*properties*/) {
    auto &link = *static_cast<BrokerLink *>(self);
    if (rc < MQTT_RC_UNSPECIFIED || link.state_ != State::up) return;
    const Answer answer = read_disconnect(rc, link.speaker_);
    if (answer.reaction == Reaction::stop) return link.refuse(answer.text);
    link.lost(answer.text);
}

void BrokerLink::published(mosquitto * /*client*/, void *self, int mid, int rc,
                           const mosquitto_property * /*properties*/) {
    auto &link = *static_cast<BrokerLink *>(self);
    if (link.sending_quietly_) {
        if (link.quiet_.erase(mid) == 0) link.written_ = true;  // else one written late, on the way
        return;
    }
    if (link.quiet_.erase(mid) != 0) return;
    const auto topic = link.topics_.find(mid);
    if (topic == link.topics_.end()) return;
    const Pending pending = topic->second;
    const Answer answer = read_puback(rc, pending.topic, link.speaker_);
    link.topics_.erase(topic);
    if (answer.reaction == Reaction::stop) return link.go_without(pending, answer.text);
    if (answer.reaction == Reaction::say) warn("%s", answer.text.c_str());
    if (link.on_settled) link.on_settled(pending.topic, answer.reaction != Reaction::say);
}

void BrokerLink::subscribed(mosquitto * /*client*/, void *self, int mid, int count, const int *granted,
                            const mosquitto_property * /*properties*/) {
    auto &link = *static_cast<BrokerLink *>(self);
    const auto topic = link.topics_.find(mid);
    if (topic == link.topics_.end()) return;
    const Pending pending = topic->second;
    link.topics_.erase(topic);
    for (int i = 0; i < count; ++i) {
        const Answer answer = read_suback(granted[i], pending.topic, link.speaker_, link.v5_);
        if (answer.reaction == Reaction::stop) return link.go_without(pending, answer.text);
    }
    if (link.on_subscribed) link.on_subscribed(pending.topic);
}

// A refused publish or subscription ends the link when it is required; else
// it is said once, and the program goes on without it.
void BrokerLink::go_without(const Pending &pending, const std::string &why) {
    if (pending.required) return refuse(why);
    if (said_.insert(pending.topic).second) warn("%s; going on without it", why.c_str());
}

// The broker answered in a way that trying again cannot mend.
void BrokerLink::refuse(const std::string &why) {
    refusal_ = why;
    set_state(State::refused);
    mosquitto_disconnect(client_);
}

// Every change of state goes through here, so that the program hears of a
// connection coming up and going down once each.
void BrokerLink::set_state(State state) {
    const bool was_up = state_ == State::up;
    state_ = state;
    if (state == State::up) quiet_.clear();  // libmosquitto dropped what QoS 0 it had not written
    if (was_up && state != State::up && on_down) on_down();
    if (!was_up && state == State::up && on_up) on_up();
}

// A broker of MQTT 3.1.1 only: connect again at once in its protocol. It
// refuses nothing it is sent there, only drops it, so that is said once.
void BrokerLink::fall_back() {
    speak(false);
    if (!fell_back_)
        warn(
            "broker %s:%d does not speak MQTT v5; speaking 3.1.1, under which it drops what its ACL refuses without a "
            "word",
            options_.host.c_str(), options_.port);
    fell_back_ = true;
    state_ = State::idle;
    mosquitto_disconnect(client_);
    retry_at_ = std::chrono::steady_clock::now();
}

void BrokerLink::speak(bool v5) {
    v5_ = v5;
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
}

void BrokerLink::message(mosquitto * /*client*/, void *self, const mosquitto_message *message,
                         const mosquitto_property *properties) {
    auto &link = *static_cast<BrokerLink *>(self);
    if (!link.on_message) return;
    link.delivered_ = properties;
    const std::vector<std::string> from = link.properties_of(from_property);
    link.on_message(*message, from.empty() ? std::string() : from.front());
    link.delivered_ = nullptr;
}

std::vector<std::string> BrokerLink::properties_of(const char *name) const {
    std::vector<std::string> values;
    for (auto &property : properties())
        if (property.first == name) values.push_back(std::move(property.second));
    return values;
}

UserProperties BrokerLink::properties() const {
    UserProperties all;
    char *key = nullptr;
    char *value = nullptr;
    for (const mosquitto_property *p = delivered_; p != nullptr; p = mosquitto_property_next(p)) {
        if (mosquitto_property_identifier(p) != MQTT_PROP_USER_PROPERTY) continue;
        if (mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &key, &value, false) != nullptr)
            all.emplace_back(key, value);
        std::free(key);
        std::free(value);
        key = value = nullptr;
    }
    return all;
}

// The connection is gone or never came: say so once, and try again later.
void BrokerLink::lost(std::string why) {
    if (!why.empty() && why.back() == '.') why.pop_back();  // libmosquitto's texts end in one
    if (!reported_) warn("cannot reach broker %s:%d: %s; retrying", options_.host.c_str(), options_.port, why.c_str());
    reported_ = true;
    set_state(State::idle);
    mosquitto_disconnect(client_);
    retry_at_ = std::chrono::steady_clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, max_backoff);
}

// A certificate that does not verify will not verify on the next try either.
bool BrokerLink::tls_failed(std::string &error) const {
    error = "broker " + options_.host + ":" + std::to_string(options_.port) +
            ": TLS handshake failed: its certificate does not verify against the CA, or it refused ours";
    return false;
}

bool BrokerLink::turn(int fd, std::chrono::milliseconds timeout, bool &fd_ready, std::string &error) {
    fd_ready = false;
    // Refused outside a turn (a message handled later, a publish): no socket is left to find it out.
    if (state_ == State::refused) {
        error = refusal_;
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (state_ == State::idle && now >= retry_at_) {
        const int rc = connect();
        if (rc == MOSQ_ERR_TLS) return tls_failed(error);
        if (rc == MOSQ_ERR_SUCCESS) {
            state_ = State::connecting;
            answer_by_ = now + answer_time;
        } else {
            lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : describe_client_error(rc));
        }
    }
    const bool open = state_ == State::up || state_ == State::connecting;
    const int socket = open ? mosquitto_socket(client_) : -1;
    pollfd fds[2] = {
        {socket, static_cast<short>(POLLIN | (socket >= 0 && mosquitto_want_write(client_) ? POLLOUT : 0)), 0},
        {fd, POLLIN, 0}};
    auto wait = timeout;
    if (!open) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(retry_at_ - now));
    wait = std::max(std::min(wait, std::chrono::milliseconds(1000)), std::chrono::milliseconds(0));
    if (poll(fds, 2, static_cast<int>(wait.count())) < 0 && errno != EINTR) {
        error = std::string("poll: ") + std::strerror(errno);
        return false;
    }
    fd_ready = fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (socket < 0) return true;
    const auto still_open = [this] { return state_ == State::up || state_ == State::connecting; };
    int rc = MOSQ_ERR_SUCCESS;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        // libmosquitto reads one packet a call while none of our QoS 1
        // messages waits for an answer: what else came is read on, up to a
        // few packets, until a read finds nothing (EAGAIN), without a poll
        // and a turn each.
        for (int reads = 0; reads < reads_a_turn && rc == MOSQ_ERR_SUCCESS && still_open(); ++reads) {
            errno = 0;
            rc = mosquitto_loop_read(client_, 64);
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        }
        // A broker left at its defaults holds its small packets (PUBACKs,
        // acks, a live batch, a big one's tail) behind Nagle's algorithm
        // until what it sent before is acknowledged, and Linux delays that
        // ACK by 40 ms when we send nothing back: acknowledging at once
        // releases them. The kernel drops the flag again, hence every turn that reads.
        const int one = 1;
        const int still = mosquitto_socket(client_);
        if (still >= 0) setsockopt(still, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    if (rc == MOSQ_ERR_SUCCESS && still_open()) rc = mosquitto_loop_write(client_, 64);
    if (rc == MOSQ_ERR_SUCCESS && still_open()) rc = mosquitto_loop_misc(client_);
    // The handshake may end in a read or write of libmosquitto's own.
    if (rc == MOSQ_ERR_TLS && state_ == State::connecting) return tls_failed(error);
    if (state_ == State::refused) {
        error = refusal_;
        return false;
    }
    if (rc != MOSQ_ERR_SUCCESS && still_open())
        lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : describe_client_error(rc));
    else if (state_ == State::connecting && std::chrono::steady_clock::now() > answer_by_)
        lost("no answer to the connection");  // a broker that took the connection but is stuck
    return true;
}

// A persistent session under v5 lasts only as long as its expiry interval,
// which is 0 unless given: given as "never", as under 3.1.1.
int BrokerLink::connect() {
    mosquitto_property *properties = nullptr;
    if (v5_ && !clean_) mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, UINT32_MAX);
    const int rc = mosquitto_connect_bind_v5(client_, options_.host.c_str(), options_.port, keepalive_seconds, nullptr,
                                             properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

bool BrokerLink::publish(const std::string &topic, const void *payload, std::size_t size, bool retain,
                         const std::string &from, const UserProperties &more, bool required) {
    if (!up()) return false;
    mosquitto_property *properties = nullptr;
    if (v5_ && !from.empty())
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, from_property, from.c_str());
    for (const auto &property : more)
        if (v5_)
            mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, property.first.c_str(),
                                               property.second.c_str());
    const bool sent = send(topic, payload, size, retain, properties, required);
    mosquitto_property_free_all(&properties);
    return sent;
}

bool BrokerLink::publish(const std::string &topic, const void *payload, std::size_t size, bool retain,
                         const PropertyList &properties, bool required) {
    if (!up()) return false;
    return send(topic, payload, size, retain, v5_ ? properties.list() : nullptr, required);
}

bool BrokerLink::publish_unconfirmed(const std::string &topic, const void *payload, std::size_t size, bool retain,
                                     const PropertyList &properties) {
    if (!up()) return false;
    return send(topic, payload, size, retain, v5_ ? properties.list() : nullptr, false, 0);
}

// The topic of each message in flight is kept, so that a refusal names it.
// libmosquitto refusing one for what it is (larger than the broker takes,
// say) would refuse every copy too.
bool BrokerLink::send(const std::string &topic, const void *payload, std::size_t size, bool retain,
                      const mosquitto_property *properties, bool required, int qos) {
    int mid = 0;
    sending_quietly_ = qos == 0;
    written_ = false;
    const int rc =
        mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(size), payload, qos, retain, properties);
    sending_quietly_ = false;
    if (mid != 0) last_mid_ = mid;  // drawn even when the send then fails
    if (rc == MOSQ_ERR_SUCCESS && qos == 0 && !written_) quiet_.insert(mid);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_QOS_NOT_SUPPORTED ||
            rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_INVAL)
            refuse("cannot publish " + std::to_string(size) + " bytes to " + topic + ": " + describe_client_error(rc));
        return false;  // else the connection is going, and a reconnection sends it again
    }
    if (v5_ && qos > 0) topics_[mid] = {topic, required};
    return true;
}

bool BrokerLink::subscribe(const std::string &topic, bool required, int qos) {
    if (!up()) return false;
    int mid = 0;
    const int rc = mosquitto_subscribe(client_, &mid, topic.c_str(), qos);
    if (mid != 0) last_mid_ = mid;
    if (rc != MOSQ_ERR_SUCCESS) return false;
    topics_[mid] = {topic, required};
    return true;
}

void BrokerLink::close_cleanly() {
    if (!up()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (mosquitto_want_write(client_) && std::chrono::steady_clock::now() < deadline) {
        if (mosquitto_loop_write(client_, 64) != MOSQ_ERR_SUCCESS) break;
        pollfd out{mosquitto_socket(client_), POLLOUT, 0};
        poll(&out, 1, 100);
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_write(client_, 1);
    set_state(State::idle);
}
