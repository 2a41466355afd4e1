#include "ack_qos.h"

int choose_ack_qos(const AckTopic &topic, bool hears_refusals, bool id_taken) {
    if (topic.unsettled > 0 || id_taken) return 1;
    return topic.heard || !hears_refusals ? 0 : 1;  // a broker of 3.1.1 drops what it refuses at any QoS
}

void note_ack_sent(AckTopic &topic, int qos) {
    if (qos > 0) ++topic.unsettled;
}

void note_ack_settled(AckTopic &topic, bool taken) {
    if (topic.unsettled > 0) --topic.unsettled;
    if (taken) topic.heard = true;
}

void note_reconnected(AckTopic &topic) { topic.heard = false; }

void note_unheard(AckTopic &topic) { topic.heard = false; }
