#include "reasons.h"

#include <cctype>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// The CONNACK return codes of MQTT 3.1.1.
enum Connack {
    connack_accepted = 0,
    connack_bad_protocol = 1,
    connack_id_rejected = 2,
    connack_unavailable = 3,
    connack_bad_credentials = 4,
    connack_not_authorised = 5,
};

// A SUBACK's failure under 3.1.1.
const int suback_failure = 0x80;

// libmosquitto's words for code, in lower case as the programs' own lines are.
std::string reason_of(int code) {
    std::string text = mosquitto_reason_string(code);
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Codes libmosquitto 2.0.11 has no text for.
struct Unnamed {
    int code;
    const char *text;
};
const Unnamed unnamed[] = {
    {MOSQ_ERR_UNKNOWN, "An unexplained error in the MQTT client library"},
    {MOSQ_ERR_PLUGIN_DEFER, "Deferred by a broker plugin"},
    {MOSQ_ERR_KEEPALIVE, "No answer from the broker within the keepalive"},
    {MOSQ_ERR_LOOKUP, "Host name lookup failed"},
    {MOSQ_ERR_MALFORMED_PACKET, "A malformed packet from the broker"},
    {MOSQ_ERR_TIMEOUT, "Timed out"},
    {MOSQ_ERR_RETAIN_NOT_SUPPORTED, "The broker does not support retained messages"},
    {MOSQ_ERR_TOPIC_ALIAS_INVALID, "An invalid topic alias"},
    {MOSQ_ERR_ADMINISTRATIVE_ACTION, "Disconnected by the broker's administrator"},
    {MOSQ_ERR_ALREADY_EXISTS, "Already exists"},
};

std::string as_user(const Speaker &who) { return who.user.empty() ? "without a user name" : "as user " + who.user; }

Answer refused(const std::string &why) { return {Reaction::stop, "broker refused the connection: " + why}; }

// A refusal of who the program is says what it said it was.
Answer refused(const std::string &why, const Speaker &who) {
    return refused(who.credentials.empty() ? why : why + " " + who.credentials);
}

}  // namespace

Answer read_connack(int code, bool v5, const Speaker &who) {
    if (!v5) {
        switch (code) {
            case connack_accepted:
                return {Reaction::go_on, ""};
            case connack_bad_protocol:
                return refused("it speaks neither MQTT v5 nor 3.1.1");
            case connack_id_rejected:
                return refused("client id rejected");
            case connack_unavailable:
                return {Reaction::retry, "refused: server unavailable"};
            case connack_bad_credentials:
                return refused("bad user name or password", who);
            case connack_not_authorised:
                return refused("not authorised", who);
            default:
                return {Reaction::retry, "refused: code " + std::to_string(code)};
        }
    }
    switch (code) {
        case MQTT_RC_SUCCESS:
            return {Reaction::go_on, ""};
        // A 3.1.1 broker answers a v5 CONNECT with its own "unacceptable protocol version".
        case connack_bad_protocol:
        case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
            return {Reaction::fall_back, "the broker does not speak MQTT v5"};
        case MQTT_RC_CLIENTID_NOT_VALID:
            return refused("client id rejected");
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
            return refused("bad user name or password", who);
        case MQTT_RC_NOT_AUTHORIZED:
            return refused("not authorised", who);
        case MQTT_RC_BANNED:
            return refused("banned");
        case MQTT_RC_BAD_AUTHENTICATION_METHOD:
            return refused("bad authentication method");
        // The will: its topic, size or payload, which no retry changes.
        case MQTT_RC_TOPIC_NAME_INVALID:
        case MQTT_RC_PACKET_TOO_LARGE:
        case MQTT_RC_PAYLOAD_FORMAT_INVALID:
            return refused(reason_of(code));
        default:
            return {Reaction::retry, "refused: " + reason_of(code)};
    }
}

Answer read_disconnect(int code, const Speaker &who) {
    switch (code) {
        case MQTT_RC_SESSION_TAKEN_OVER:
            return {Reaction::stop, who.taken_over};
        case MQTT_RC_NOT_AUTHORIZED:
        case MQTT_RC_BANNED:
            return {Reaction::stop, "broker disconnected us: " + reason_of(code)};
        default:
            return {Reaction::retry, "broker disconnected us: " + reason_of(code)};
    }
}

Answer read_puback(int code, const std::string &topic, const Speaker &who) {
    if (code < MQTT_RC_UNSPECIFIED) return {Reaction::go_on, ""};  // 16: no one subscribed, which is no fault
    if (code == MQTT_RC_NOT_AUTHORIZED)
        return {Reaction::stop, "not authorised to publish to " + topic + " " + as_user(who)};
    // Too large for the broker: every copy will be.
    if (code == MQTT_RC_PACKET_TOO_LARGE || code == MQTT_RC_TOPIC_NAME_INVALID)
        return {Reaction::stop, "broker refused a message for " + topic + ": " + reason_of(code)};
    // The publisher sends it again when its patience runs out.
    return {Reaction::say, "broker refused a message for " + topic + ": " + reason_of(code)};
}

Answer read_suback(int granted, const std::string &topic, const Speaker &who, bool v5) {
    if (granted < MQTT_RC_UNSPECIFIED) return {Reaction::go_on, ""};
    // 3.1.1 has one failure code and no reason.
    if (!v5 && granted == suback_failure)
        return {Reaction::stop, "broker refused the subscription to " + topic + " " + as_user(who)};
    if (granted == MQTT_RC_NOT_AUTHORIZED)
        return {Reaction::stop, "not authorised to subscribe to " + topic + " " + as_user(who)};
    return {Reaction::stop, "broker refused the subscription to " + topic + ": " + reason_of(granted)};
}

std::string describe_client_error(int code) {
    for (const Unnamed &entry : unnamed)
        if (entry.code == code) return entry.text;
    const std::string text = mosquitto_strerror(code);
    return text.rfind("Unknown error", 0) == 0 ? "MQTT client library error " + std::to_string(code) : text;
}
