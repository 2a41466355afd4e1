#include "packet_log.h"

#include <cstring>

#include "log_line.h"

namespace {

const char bad_stamp[] = "expected a timestamp: digits, a point, digits";

// A hex digit's value, or -1.
constexpr int digit_value(int c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Hex digit values, or -1; a table, since every byte of a log goes through it.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = static_cast<signed char>(digit_value(c));
    }
};
constexpr HexTable hex;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) { return hex.value[static_cast<unsigned char>(c)]; }

// The byte two hex digits make, or -1, looked up by both characters at once:
// one load for what would be two, in the loop every byte of a log goes through.
struct PairTable {
    short value[1 << 16];
    constexpr PairTable() : value() {
        for (int pair = 0; pair < (1 << 16); ++pair) {
            const int high = digit_value(pair & 0xff);
            const int low = digit_value(pair >> 8);
            value[pair] = static_cast<short>(high < 0 || low < 0 ? -1 : high << 4 | low);
        }
    }
};
constexpr PairTable pairs;

int pair_value(const char *at) {
    return pairs
        .value[static_cast<unsigned char>(at[0]) | static_cast<unsigned>(static_cast<unsigned char>(at[1])) << 8];
}

// Parses the line at at up to where stop(p) says it ends, and leaves at there.
// stop is checked before every character is read, so a line ended by a
// newline is read no further than its newline.
template <typename Stop>
const char *parse_line(const char *&at, Stop stop, LogPacket &packet) {
    long long seconds = 0;
    int digits = 0;
    for (; !stop(at) && is_digit(*at); ++at, ++digits) {
        seconds = seconds * 10 + (*at - '0');
        if (seconds > max_log_seconds) return "timestamp out of range";
    }
    if (digits == 0 || stop(at) || *at != '.') return bad_stamp;
    ++at;
    long long micros = 0;
    int places = 0;
    for (; !stop(at) && is_digit(*at); ++at, ++places)
        if (places < 6) micros = micros * 10 + (*at - '0');
    if (places == 0) return bad_stamp;
    for (; places < 6; ++places) micros *= 10;
    packet.micros = seconds * 1000000 + micros;
    if (stop(at) || *at != ' ') return "expected a space after the timestamp";
    ++at;
    int len = 0;
    for (; !stop(at); at += 3) {
        if (len == 255) return "more than 255 bytes";
        // at[1] is read only when at[0] is no end of the line.
        const int byte = stop(at + 1) ? -1 : pair_value(at);
        if (byte < 0 || stop(at + 2) || at[2] != ' ') return "expected a byte as two hex digits and a space";
        packet.bytes[len++] = static_cast<unsigned char>(byte);
    }
    packet.len = len;
    return nullptr;
}

}  // namespace

const char *parse_log_line(const char *at, const char *end, LogPacket &packet) {
    return parse_line(
        at, [end](const char *p) { return p >= end; }, packet);
}

const char *parse_log_line_to_newline(const char *at, LogPacket &packet, const char *&newline) {
    const char *what = parse_line(
        at, [](const char *p) { return *p == '\n'; }, packet);
    newline = at;
    return what;
}

const char torn_log_line[] = "last line has no newline";

const char *read_log_line(const char *text, std::size_t size, std::size_t &at, LogPacket &packet) {
    const char *start = text + at;
    const void *newline = std::memchr(start, '\n', size - at);
    if (newline == nullptr) return torn_log_line;
    const char *end = static_cast<const char *>(newline);
    const char *what = parse_log_line(start, end, packet);
    if (what == nullptr) at += static_cast<std::size_t>(end - start) + 1;
    return what;
}

bool walk_log_line(const char *text, std::size_t size, std::size_t &at, const char *&what) {
    const char *start = text + at;
    const void *newline = std::memchr(start, '\n', size - at);
    if (newline == nullptr) return false;
    const char *end = static_cast<const char *>(newline);
    LogPacket packet;
    what = parse_log_line(start, end, packet);
    at += static_cast<std::size_t>(end - start) + 1;
    return true;
}

bool could_start_log_line(const char *at, const char *end) {
    const char *digits = at;
    while (at < end && is_digit(*at)) ++at;
    if (at == digits || at - digits > 12) return false;
    if (at == end) return true;
    if (*at++ != '.') return false;
    digits = at;
    while (at < end && is_digit(*at)) ++at;
    if (at == end) return true;
    if (at == digits || *at++ != ' ') return false;
    for (int pairs = 0; at < end; ++pairs, at += 3) {
        if (pairs == 255 || hex_value(at[0]) < 0) return false;
        if (end - at >= 2 && hex_value(at[1]) < 0) return false;
        if (end - at >= 3 && at[2] != ' ') return false;
    }
    return true;
}

LogCheck check_packet_log(const char *text, std::size_t size, PacketSink sink, void *context) {
    LogCheck check;
    LogPacket packet;
    while (check.size < size) {
        check.what = read_log_line(text, size, check.size, packet);
        if (check.what == torn_log_line) {
            check.what = nullptr;
            check.torn = true;
            break;
        }
        if (check.what != nullptr) {
            check.bad_line = check.lines + 1;
            break;
        }
        if (sink != nullptr) sink(packet, context);
        ++check.lines;
    }
    return check;
}
