#ifndef SFLOG_PACKET_LOG_H
#define SFLOG_PACKET_LOG_H

#include <cstddef>

// One line of a packet log as sflogger writes it: a timestamp (digits, a
// point, digits), a space, then "xx " per byte (hex digits of either case).
struct LogPacket {
    long long micros = 0;  // the timestamp in microseconds; finer digits are dropped
    int len = 0;
    unsigned char bytes[255] = {};
};

// Parses the line [at, end), without its newline, into packet. Returns null,
// or what is wrong with it.
const char *parse_log_line(const char *at, const char *end, LogPacket &packet);

// The same for the line at at, which a newline is known to end: it spares
// finding the newline first. newline is set to it when the line is well
// formed, and somewhere in the line otherwise.
const char *parse_log_line_to_newline(const char *at, LogPacket &packet, const char *&newline);

// Parses the line at text + at, in text[0, size), into packet and moves at
// past its newline. Returns null; or torn_log_line when no newline ends it,
// leaving at alone; or what else is wrong with it.
const char *read_log_line(const char *text, std::size_t size, std::size_t &at, LogPacket &packet);
extern const char torn_log_line[];

// Walks a log as a follower does, passing over lines that do not parse
// instead of stopping at them: the line at text + at, in text[0, size).
// False when no newline ends it there. Otherwise moves at past its newline
// and returns true, with what null when the line is well formed, or what is
// wrong with it.
bool walk_log_line(const char *text, std::size_t size, std::size_t &at, const char *&what);

// Whether [at, end) could be the start of a log line, cut off by a writer
// that stopped: digits, then a point and digits, then bytes as hex pairs each
// followed by a space, any of it possibly cut short (even inside a pair).
bool could_start_log_line(const char *at, const char *end);

// What a whole log holds, as far as it may be served.
struct LogCheck {
    std::size_t lines = 0;       // whole lines, all well formed when bad_line is 0
    std::size_t size = 0;        // bytes they take, up to the last whole line's newline
    std::size_t bad_line = 0;    // number of the first malformed line, or 0
    const char *what = nullptr;  // what is wrong with it
    bool torn = false;           // a last line without its newline follows, line number lines + 1
};

// Receives each well-formed line's packet, in order, as a check goes.
using PacketSink = void (*)(const LogPacket &packet, void *context);

// Checks the log text[0, size) line by line, stopping at the first malformed
// line. A last line without its newline is never served: a log cut off by a
// crash ends that way, and the part may read as a shorter packet.
LogCheck check_packet_log(const char *text, std::size_t size, PacketSink sink = nullptr, void *context = nullptr);

#endif
