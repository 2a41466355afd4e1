#ifndef SFREPLAY_PACKET_LOG_H
#define SFREPLAY_PACKET_LOG_H

#include <cstddef>
#include <string>
#include <vector>

struct Packet {
    long long micros;  // the line's timestamp, in microseconds
    std::string bytes;
};

struct LogError {
    std::size_t line = 0;  // 0: no error
    std::string what;
};

// Parses a packet log as sflogger writes it: per line a timestamp (digits, a
// point, digits), a space, then "xx " per byte, then a newline (which the last
// line may lack). On the first line that does not fit, returns its number and
// what is wrong, with packets holding the lines before it.
LogError parse_packet_log(const std::string &text, std::vector<Packet> &packets);

#endif
