// At which QoS the collector sends a gateway's ack. At QoS 1 each ack costs
// a PUBACK from the broker and one from the publisher and waits behind the
// 20 that libmosquitto keeps in flight; at QoS 0 a lost one costs only the
// publisher's sending its batch again. So acks go at QoS 0 once the broker
// has taken one of the gateway's at QoS 1 on this connection (which hears
// an ACL that refuses them), and only while none at QoS 1 is unsettled:
// libmosquitto sends that one again after a reconnection, and no later ack
// may reach the broker before it.
#ifndef SF_FLEET_ACK_QOS_H
#define SF_FLEET_ACK_QOS_H

#include <cstddef>

struct AckTopic {
    bool heard = false;         // the broker took one at QoS 1 on this connection
    std::size_t unsettled = 0;  // sent at QoS 1, no PUBACK yet
};

// hears_refusals: MQTT v5, under which the broker says it refuses a publish;
// id_taken: the next message id is one a QoS 1 publish still waits on, so
// that a QoS 0 one's "published" would pass for that one's PUBACK.
int choose_ack_qos(const AckTopic &topic, bool hears_refusals, bool id_taken);

void note_ack_sent(AckTopic &topic, int qos);
// taken: a clean PUBACK, not a refusal that is only said.
void note_ack_settled(AckTopic &topic, bool taken);
// What was unsettled is sent again, and must be heard on the new connection.
void note_reconnected(AckTopic &topic);
// The publisher sent again what its acks covered: it did not hear them. The
// next goes at QoS 1, so that a broker that has come to refuse them (an ACL
// reloaded) is heard.
void note_unheard(AckTopic &topic);

#endif
