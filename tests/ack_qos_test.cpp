#include "ack_qos.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

enum class Event { sent_qos1, sent_qos0, taken, said, reconnected, unheard };

struct Case {
    const char *name;
    std::vector<Event> events;
    bool hears_refusals;
    bool id_taken;
    int qos;
};

TEST(AckQos, OnlyAfterOneTakenWithNothingUnsettled) {
    using E = Event;
    const std::vector<Case> cases = {
        {"the first ack of a connection", {}, true, false, 1},
        {"a broker of 3.1.1", {}, false, false, 0},
        {"one taken", {E::sent_qos1, E::taken}, true, false, 0},
        {"one taken, another unsettled", {E::sent_qos1, E::sent_qos1, E::taken}, true, false, 1},
        {"a refusal only said", {E::sent_qos1, E::said}, true, false, 1},
        {"a refusal said, then one taken", {E::sent_qos1, E::said, E::sent_qos1, E::taken}, true, false, 0},
        {"taken, then reconnected", {E::sent_qos1, E::taken, E::reconnected}, true, false, 1},
        {"unsettled at the reconnection, its copy taken",
         {E::sent_qos1, E::sent_qos1, E::taken, E::reconnected, E::taken},
         true,
         false,
         0},
        {"taken, but the next id waits on a PUBACK", {E::sent_qos1, E::taken}, true, true, 1},
        {"acks at QoS 0 leave nothing unsettled", {E::sent_qos1, E::taken, E::sent_qos0, E::sent_qos0}, true, false, 0},
        {"3.1.1, one of before the fall back unsettled", {E::sent_qos1}, false, false, 1},
        {"the publisher sent again what was acked", {E::sent_qos1, E::taken, E::sent_qos0, E::unheard}, true, false, 1},
        {"sent again, then one taken", {E::sent_qos1, E::taken, E::unheard, E::sent_qos1, E::taken}, true, false, 0},
        {"more settled than sent (a copy of before a restart)", {E::taken, E::taken, E::sent_qos1}, true, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AckTopic topic;
        for (const Event event : c.events) {
            switch (event) {
                case Event::sent_qos1:
                    note_ack_sent(topic, 1);
                    break;
                case Event::sent_qos0:
                    note_ack_sent(topic, 0);
                    break;
                case Event::taken:
                    note_ack_settled(topic, true);
                    break;
                case Event::said:
                    note_ack_settled(topic, false);
                    break;
                case Event::unheard:
                    note_unheard(topic);
                    break;
                case Event::reconnected:
                    note_reconnected(topic);
                    break;
            }
        }
        EXPECT_EQ(choose_ack_qos(topic, c.hears_refusals, c.id_taken), c.qos);
    }
}

}  // namespace
