// The broker's answers, code by code, as the fleet programs read them.
#include <string>

#include <gtest/gtest.h>
#include <mosquitto.h>

#include "credentials.h"
#include "reasons.h"

namespace {

const Speaker gw1{"gw1", "another sfpublish is using the name gw1", "as gw1 (password from SF_MQTT_PASSWORD)"};
const Speaker anonymous{"", "another sfcollect is using the client id central", "without a user name (-u)"};

struct Case {
    const char *what;
    Answer (*read)(int code, const Speaker &who);
    Speaker who;
    int code;
    Reaction reaction;
    std::string text;
};

Answer connack_v5(int code, const Speaker &who) { return read_connack(code, true, who); }
Answer connack_v311(int code, const Speaker &who) { return read_connack(code, false, who); }
Answer puback(int code, const Speaker &who) { return read_puback(code, "sflogger/gw2/packets", who); }
Answer suback(int code, const Speaker &who) { return read_suback(code, "sflogger/+/packets", who, true); }
Answer suback_v311(int code, const Speaker &who) { return read_suback(code, "sflogger/+/packets", who, false); }

TEST(Reasons, EachCodeHasOneLineAndOneReaction) {
    const Case cases[] = {
        {"v5 accepted", connack_v5, gw1, 0, Reaction::go_on, ""},
        {"v5 to a 3.1.1 broker", connack_v5, gw1, 1, Reaction::fall_back, "the broker does not speak MQTT v5"},
        {"v5 unsupported version", connack_v5, gw1, 132, Reaction::fall_back, "the broker does not speak MQTT v5"},
        {"v5 bad password", connack_v5, gw1, 134, Reaction::stop,
         "broker refused the connection: bad user name or password as gw1 (password from SF_MQTT_PASSWORD)"},
        {"v5 not authorised", connack_v5, gw1, 135, Reaction::stop,
         "broker refused the connection: not authorised as gw1 (password from SF_MQTT_PASSWORD)"},
        {"v5 client id", connack_v5, gw1, 133, Reaction::stop, "broker refused the connection: client id rejected"},
        {"v5 banned", connack_v5, gw1, 138, Reaction::stop, "broker refused the connection: banned"},
        {"v5 busy", connack_v5, gw1, 137, Reaction::retry, "refused: server busy"},
        {"v5 unavailable", connack_v5, gw1, 136, Reaction::retry, "refused: server unavailable"},
        {"3.1.1 accepted", connack_v311, gw1, 0, Reaction::go_on, ""},
        {"3.1.1 no protocol", connack_v311, gw1, 1, Reaction::stop,
         "broker refused the connection: it speaks neither MQTT v5 nor 3.1.1"},
        {"3.1.1 id", connack_v311, gw1, 2, Reaction::stop, "broker refused the connection: client id rejected"},
        {"3.1.1 unavailable", connack_v311, gw1, 3, Reaction::retry, "refused: server unavailable"},
        {"3.1.1 bad password", connack_v311, gw1, 4, Reaction::stop,
         "broker refused the connection: bad user name or password as gw1 (password from SF_MQTT_PASSWORD)"},
        {"3.1.1 not authorised", connack_v311, gw1, 5, Reaction::stop,
         "broker refused the connection: not authorised as gw1 (password from SF_MQTT_PASSWORD)"},
        {"taken over", read_disconnect, gw1, 142, Reaction::stop, "another sfpublish is using the name gw1"},
        {"collector taken over", read_disconnect, anonymous, 142, Reaction::stop,
         "another sfcollect is using the client id central"},
        {"disconnected, not authorised", read_disconnect, gw1, 135, Reaction::stop,
         "broker disconnected us: not authorized"},
        {"broker going down", read_disconnect, gw1, 139, Reaction::retry,
         "broker disconnected us: server shutting down"},
        {"keep-alive", read_disconnect, gw1, 141, Reaction::retry, "broker disconnected us: keep alive timeout"},
        {"published", puback, gw1, 0, Reaction::go_on, ""},
        {"published, no subscriber", puback, gw1, 16, Reaction::go_on, ""},
        {"publish refused", puback, gw1, 135, Reaction::stop,
         "not authorised to publish to sflogger/gw2/packets as user gw1"},
        {"publish refused, no user", puback, anonymous, 135, Reaction::stop,
         "not authorised to publish to sflogger/gw2/packets without a user name"},
        {"publish too large", puback, gw1, 149, Reaction::stop,
         "broker refused a message for sflogger/gw2/packets: packet too large"},
        {"publish over quota", puback, gw1, 151, Reaction::say,
         "broker refused a message for sflogger/gw2/packets: quota exceeded"},
        {"subscribed", suback, gw1, 1, Reaction::go_on, ""},
        {"subscribe refused", suback, gw1, 135, Reaction::stop,
         "not authorised to subscribe to sflogger/+/packets as user gw1"},
        {"3.1.1 subscribe failed", suback_v311, gw1, 0x80, Reaction::stop,
         "broker refused the subscription to sflogger/+/packets as user gw1"},
        {"v5 subscribe failed for no reason given", suback, gw1, 0x80, Reaction::stop,
         "broker refused the subscription to sflogger/+/packets: unspecified error"},
        {"3.1.1 subscribed", suback_v311, gw1, 1, Reaction::go_on, ""},
        {"v5 will too large", connack_v5, gw1, 149, Reaction::stop, "broker refused the connection: packet too large"},
        {"subscribe filter invalid", suback, gw1, 143, Reaction::stop,
         "broker refused the subscription to sflogger/+/packets: topic filter invalid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Answer answer = c.read(c.code, c.who);
        EXPECT_EQ(answer.reaction, c.reaction);
        EXPECT_EQ(answer.text, c.text);
    }
}

// The packaged units set SF_MQTT_PASSWORD from a file of their own, found
// by the control group the program runs in.
TEST(Credentials, TheUnitsPasswordFileComesFromItsControlGroup) {
    struct Case {
        const char *what;
        std::string cgroup;
        std::string secret;
    };
    const Case cases[] = {
        {"a gateway's unit", "0::/system.slice/system-sfpublish.slice/sfpublish@gw1.service\n",
         "/etc/sflogger/gw1.secret"},
        {"the collector's unit", "0::/system.slice/sfcollect.service\n", "/etc/sflogger/sfcollect.secret"},
        {"cgroup v1 beside v2", "12:pids:/system.slice/sfcollect.service\n1:name=systemd:/system.slice/x\n0::/\n",
         "/etc/sflogger/sfcollect.secret"},
        {"a login shell", "0::/user.slice/user-1000.slice/session-3.scope\n", ""},
        {"another unit", "0::/system.slice/sfpublish-gw1.service\n", ""},
        {"a template with no instance", "0::/system.slice/sfpublish@.service\n", ""},
        {"an escaped instance", "0::/system.slice/sfpublish@gw\\x2f1.service\n", ""},
        {"a container's root", "0::/\n", ""},
        {"nothing read", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(unit_secret(c.cgroup), c.secret);
    }
}

TEST(Credentials, SayWhoAndWhereThePasswordCameFrom) {
    struct Case {
        const char *what;
        Credentials credentials;
        std::string text;
    };
    const std::string secret = "/etc/sflogger/gw1.secret";
    const Case cases[] = {
        {"by hand", {"gw1", true, "pw", "", false}, "as gw1 (password from SF_MQTT_PASSWORD)"},
        {"in the unit",
         {"gw1", true, "pw", secret, true},
         "as gw1 (password from SF_MQTT_PASSWORD, set in /etc/sflogger/gw1.secret for the unit)"},
        {"in the unit, no secret file",
         {"gw1", true, "pw", secret, false},
         "as gw1 (password from SF_MQTT_PASSWORD, set for the unit elsewhere than in /etc/sflogger/gw1.secret, "
         "which does not exist)"},
        {"an empty password", {"gw1", true, "", "", false}, "as gw1 (an empty password from SF_MQTT_PASSWORD)"},
        {"no password by hand",
         {"gw1", false, "", "", false},
         "as gw1 without a password (SF_MQTT_PASSWORD is not set)"},
        {"no password in the unit",
         {"gw1", false, "", secret, true},
         "as gw1 without a password (SF_MQTT_PASSWORD is not set in /etc/sflogger/gw1.secret, which the unit "
         "reads)"},
        {"no password, no secret file",
         {"gw1", false, "", secret, false},
         "as gw1 without a password (SF_MQTT_PASSWORD is not set; the unit reads it from "
         "/etc/sflogger/gw1.secret, which does not exist)"},
        {"no user", {"", false, "", "", false}, "without a user name (-u)"},
        {"a password but no user",
         {"", true, "pw", secret, true},
         "without a user name (-u), so SF_MQTT_PASSWORD was not sent"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(describe_credentials(c.credentials), c.text);
    }
}

// libmosquitto's own words where it has them, ours where 2.0.11 has none:
// never "Unknown error".
TEST(Reasons, ClientErrorsAreNamed) {
    const struct {
        int code;
        const char *text;
    } cases[] = {
        {MOSQ_ERR_CONN_LOST, "The connection was lost."},
        {MOSQ_ERR_KEEPALIVE, "No answer from the broker within the keepalive"},
        {99, "MQTT client library error 99"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(describe_client_error(c.code), c.text);
    }
    for (int code = MOSQ_ERR_AUTH_CONTINUE; code <= MOSQ_ERR_ALREADY_EXISTS; ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(describe_client_error(code).find("Unknown"), std::string::npos);
    }
}

}  // namespace
