#include "packet_log.h"

#include <cstring>

namespace {

const int max_second_digits = 12;  // beyond year 30000, and far from overflow

const char bad_stamp[] = "expected a timestamp: digits, a point, digits";

// Hex digit values, or -1; a table, since every byte of a log goes through it.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<signed char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<signed char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<signed char>(c - 'A' + 10);
    }
};
constexpr HexTable hex;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) { return hex.value[static_cast<unsigned char>(c)]; }

}  // namespace

const char *parse_log_line(const char *at, const char *end, LogPacket &packet) {
    long long seconds = 0;
    int digits = 0;
    for (; at < end && is_digit(*at); ++at, ++digits) {
        if (digits == max_second_digits) return "timestamp out of range";
        seconds = seconds * 10 + (*at - '0');
    }
    if (digits == 0 || at == end || *at != '.') return bad_stamp;
    ++at;
    long long micros = 0;
    int places = 0;
    for (; at < end && is_digit(*at); ++at, ++places)
        if (places < 6) micros = micros * 10 + (*at - '0');
    if (places == 0) return bad_stamp;
    for (; places < 6; ++places) micros *= 10;
    packet.micros = seconds * 1000000 + micros;
    if (at == end || *at != ' ') return "expected a space after the timestamp";
    ++at;
    int len = 0;
    for (; at < end; at += 3) {
        if (len == 255) return "more than 255 bytes";
        const int high = end - at < 3 ? -1 : hex_value(at[0]);
        const int low = high < 0 ? -1 : hex_value(at[1]);
        if (low < 0 || at[2] != ' ') return "expected a byte as two hex digits and a space";
        packet.bytes[len++] = static_cast<unsigned char>(high << 4 | low);
    }
    packet.len = len;
    return nullptr;
}

LogCheck check_packet_log(const char *text, std::size_t size, PacketSink sink, void *context) {
    LogCheck check;
    LogPacket packet;
    for (std::size_t start = 0; start < size;) {
        const void *newline = std::memchr(text + start, '\n', size - start);
        if (newline == nullptr) {
            check.torn = true;
            break;
        }
        const std::size_t stop = static_cast<std::size_t>(static_cast<const char *>(newline) - text);
        check.what = parse_log_line(text + start, text + stop, packet);
        if (check.what != nullptr) {
            check.bad_line = check.lines + 1;
            break;
        }
        if (sink != nullptr) sink(packet, context);
        ++check.lines;
        start = check.size = stop + 1;
    }
    return check;
}
