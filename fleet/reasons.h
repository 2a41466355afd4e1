// What the broker's answers mean to a fleet program: the CONNACK, a
// DISCONNECT it sends, a PUBACK's reason and a SUBACK's grant, under MQTT v5
// (reason codes) or 3.1.1 (return codes), each turned into one line and what
// to do about it.
#ifndef SF_FLEET_REASONS_H
#define SF_FLEET_REASONS_H

#include <string>

enum class Reaction {
    go_on,      // all is well
    say,        // say text, carry on
    retry,      // the connection is lost for now: say text, connect again later
    fall_back,  // the broker does not speak MQTT v5: connect again with 3.1.1
    stop,       // retrying cannot mend it: say text, end with status 1
};

struct Answer {
    Reaction reaction;
    std::string text;
};

// Who the program is to the broker, for the texts.
struct Speaker {
    std::string user;         // empty: none given
    std::string taken_over;   // what it means when another client takes its session
    std::string credentials;  // who it logged in as, and where the password came from
};

Answer read_connack(int code, bool v5, const Speaker &who);
Answer read_disconnect(int code, const Speaker &who);
Answer read_puback(int code, const std::string &topic, const Speaker &who);
Answer read_suback(int granted, const std::string &topic, const Speaker &who, bool v5);

// What a libmosquitto function's error code means, in one line: its own
// text, or words of ours for the codes that 2.0.11 calls "Unknown error"
// (its keepalive's time-out among them).
std::string describe_client_error(int code);

#endif
