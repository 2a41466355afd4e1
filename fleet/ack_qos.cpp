#include "ack_qos.h"

int choose_ack_qos(const AckTopic &topic, bool hears_refusals, bool id_taken) {
    if (!hears_refusals) return 0;  // a broker of 3.1.1 drops what it refuses at any QoS
    return topic.heard && topic.unsettled == 0 && !id_taken ? 0 : 1;
}

void note_ack_sent(AckTopic &topic, int qos) {
    if (qos > 0) ++topic.unsettled;
}

void note_ack_settled(AckTopic &topic, bool taken) {
    if (topic.unsettled > 0) --topic.unsettled;
    if (taken) topic.heard = true;
}

void note_reconnected(AckTopic &topic) { topic.heard = false; }
