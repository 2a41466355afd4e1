// The broker's answers, code by code, as the fleet programs read them.
#include <string>

#include <gtest/gtest.h>

#include "reasons.h"

namespace {

const Speaker gw1{"gw1", "another sfpublish is using the name gw1"};
const Speaker anonymous{"", "another sfcollect is using the client id central"};

struct Case {
    const char *what;
    Answer (*read)(int code, const Speaker &who);
    int code;
    Speaker who;
    Reaction reaction;
    std::string text;
};

Answer connack_v5(int code, const Speaker &) { return read_connack(code, true); }
Answer connack_v311(int code, const Speaker &) { return read_connack(code, false); }
Answer puback(int code, const Speaker &who) { return read_puback(code, "sflogger/gw2/packets", who); }
Answer suback(int code, const Speaker &who) { return read_suback(code, "sflogger/+/packets", who); }

TEST(Reasons, EachCodeHasOneLineAndOneReaction) {
    const Case cases[] = {
        {"v5 accepted", connack_v5, 0, gw1, Reaction::go_on, ""},
        {"v5 to a 3.1.1 broker", connack_v5, 1, gw1, Reaction::fall_back, "the broker does not speak MQTT v5"},
        {"v5 unsupported version", connack_v5, 132, gw1, Reaction::fall_back, "the broker does not speak MQTT v5"},
        {"v5 bad password", connack_v5, 134, gw1, Reaction::stop,
         "broker refused the connection: bad user name or password"},
        {"v5 not authorised", connack_v5, 135, gw1, Reaction::stop, "broker refused the connection: not authorised"},
        {"v5 client id", connack_v5, 133, gw1, Reaction::stop, "broker refused the connection: client id rejected"},
        {"v5 banned", connack_v5, 138, gw1, Reaction::stop, "broker refused the connection: banned"},
        {"v5 busy", connack_v5, 137, gw1, Reaction::retry, "refused: server busy"},
        {"v5 unavailable", connack_v5, 136, gw1, Reaction::retry, "refused: server unavailable"},
        {"3.1.1 accepted", connack_v311, 0, gw1, Reaction::go_on, ""},
        {"3.1.1 no protocol", connack_v311, 1, gw1, Reaction::stop,
         "broker refused the connection: it speaks neither MQTT v5 nor 3.1.1"},
        {"3.1.1 id", connack_v311, 2, gw1, Reaction::stop, "broker refused the connection: client id rejected"},
        {"3.1.1 unavailable", connack_v311, 3, gw1, Reaction::retry, "refused: server unavailable"},
        {"3.1.1 bad password", connack_v311, 4, gw1, Reaction::stop,
         "broker refused the connection: bad user name or password"},
        {"3.1.1 not authorised", connack_v311, 5, gw1, Reaction::stop,
         "broker refused the connection: not authorised"},
        {"taken over", read_disconnect, 142, gw1, Reaction::stop, "another sfpublish is using the name gw1"},
        {"collector taken over", read_disconnect, 142, anonymous, Reaction::stop,
         "another sfcollect is using the client id central"},
        {"disconnected, not authorised", read_disconnect, 135, gw1, Reaction::stop,
         "broker disconnected us: not authorized"},
        {"broker going down", read_disconnect, 139, gw1, Reaction::retry,
         "broker disconnected us: server shutting down"},
        {"keep-alive", read_disconnect, 141, gw1, Reaction::retry, "broker disconnected us: keep alive timeout"},
        {"published", puback, 0, gw1, Reaction::go_on, ""},
        {"published, no subscriber", puback, 16, gw1, Reaction::go_on, ""},
        {"publish refused", puback, 135, gw1, Reaction::stop,
         "not authorised to publish to sflogger/gw2/packets as user gw1"},
        {"publish refused, no user", puback, 135, anonymous, Reaction::stop,
         "not authorised to publish to sflogger/gw2/packets without a user name"},
        {"publish too large", puback, 149, gw1, Reaction::stop,
         "broker refused a message for sflogger/gw2/packets: packet too large"},
        {"publish over quota", puback, 151, gw1, Reaction::say,
         "broker refused a message for sflogger/gw2/packets: quota exceeded"},
        {"subscribed", suback, 1, gw1, Reaction::go_on, ""},
        {"subscribe refused", suback, 135, gw1, Reaction::stop,
         "not authorised to subscribe to sflogger/+/packets as user gw1"},
        {"3.1.1 subscribe failed", suback, 0x80, gw1, Reaction::stop,
         "not authorised to subscribe to sflogger/+/packets as user gw1"},
        {"subscribe filter invalid", suback, 143, gw1, Reaction::stop,
         "broker refused the subscription to sflogger/+/packets: topic filter invalid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Answer answer = c.read(c.code, c.who);
        EXPECT_EQ(answer.reaction, c.reaction);
        EXPECT_EQ(answer.text, c.text);
    }
}

}  // namespace
