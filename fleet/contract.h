// What publisher and collector agree on: the topics under a prefix, the
// header of a batch of log lines, and the acknowledgement.
#ifndef SF_FLEET_CONTRACT_H
#define SF_FLEET_CONTRACT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A batch's payload: its header and whole lines, at most this many bytes.
constexpr std::size_t max_payload = 256 * 1024;

// A gateway's name: 1 to max_gateway_name letters, digits, '.', '_' and '-';
// never a path of its own, and short enough for any file system's names.
constexpr std::size_t max_gateway_name = 64;
bool is_gateway_name(const std::string &name);
// What a gateway name is, for a message refusing name: "1 to 64 letters,
// digits, '.', '_', '-'", after why for '.' and '..', which are made of them.
std::string gateway_name_rule(const std::string &name);

std::string packets_topic(const std::string &prefix, const std::string &name);
std::string ack_topic(const std::string &prefix, const std::string &name);
std::string status_topic(const std::string &prefix, const std::string &name);

// Whether a message on a publisher's own status topic, online or offline,
// shows another publisher using its name. Each says who sent it ("from":
// "SINCE WHO", when the publisher started, in microseconds since the epoch,
// and its host and log). Two of one name take the client id from each other
// in turn, and the one that started first ends, so only a sender other than
// me that started after me counts (ties go by WHO): an older one is the
// record of one that is gone, such as this gateway under another host name,
// and a broker restored from an old save may hand it over. Nor does anything
// count before this one has said it is online.
bool shows_name_taken(const std::string &from, const std::string &me, bool announced);
// "SINCE WHO", SINCE now.
std::string sender_since_now(const std::string &who);

// PREFIX/collector/ID/status, where a collector says it is online, so that
// another of its client id finds out, as publishers do of their name (four
// levels: no gateway's topic). Empty when ID cannot be one level of a topic.
std::string collector_status_topic(const std::string &prefix, const std::string &id);

// The gateway NAME of a topic PREFIX/NAME/KIND (packets, status); false when
// it is not one or NAME is not a gateway name.
bool gateway_of(const std::string &topic, const std::string &prefix, std::string &name, const char *kind = "packets");

// "sflog1 EPOCH SEQ\n": EPOCH as 16 lowercase hex digits, SEQ in decimal.
std::string format_header(std::uint64_t epoch, std::uint64_t seq);
// Reads the header at the start of payload; returns its size, or 0 when the
// payload does not start with one.
std::size_t parse_header(const char *payload, std::size_t size, std::uint64_t &epoch, std::uint64_t &seq);

// A batch's payload, read: its header's numbers and its lines.
struct BatchView {
    std::uint64_t epoch = 0;
    std::uint64_t seq = 0;
    std::uint64_t count = 0;  // lines, each whole and well formed
    const char *lines = nullptr;
    std::size_t size = 0;       // of the lines, newlines included
    long long last_micros = 0;  // the last line's timestamp
};
// Reads payload as a batch. Returns null, or what breaks the contract, with
// reason (when given) set to a word for it: too_large, no_header,
// malformed_line or no_lines.
const char *read_batch(const char *payload, std::size_t size, BatchView &batch, const char **reason = nullptr);

// "EPOCH NEXT": every line of EPOCH before NEXT is on the collector's disk.
// Read with or without a newline after it. Under MQTT v5 it carries the user
// property "answers" (gap_question.h): the nonce of sfpublish's question about
// a gap when a batch it covers was that question, else empty. An ack without
// it comes from an older collector or through a broker of MQTT 3.1.1, and
// answers a question only when two in a row are alike.
std::string format_ack(std::uint64_t epoch, std::uint64_t next);
bool parse_ack(const char *payload, std::size_t size, std::uint64_t &epoch, std::uint64_t &next);

// "EPOCH left": the collector's answer, never retained, to a batch of an
// epoch it has left for another: it takes no more of its lines. A publisher
// that is still on it (its state rolled back, a VM snapshot) starts a new
// one. Publishers that know only acks read it as none.
std::string format_left(std::uint64_t epoch);
bool parse_left(const char *payload, std::size_t size, std::uint64_t &epoch);

#endif
