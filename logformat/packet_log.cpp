#include "packet_log.h"

namespace {

const std::size_t max_packet = 255;
const int max_second_digits = 12;  // beyond year 30000, and far from overflow

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses one line (without its newline) into packet; returns what is wrong, or "".
std::string parse_line(const char *at, const char *end, Packet &packet) {
    long long seconds = 0;
    int digits = 0;
    for (; at < end && is_digit(*at); ++at, ++digits) {
        if (digits == max_second_digits) return "timestamp out of range";
        seconds = seconds * 10 + (*at - '0');
    }
    if (digits == 0 || at == end || *at != '.') return "expected a timestamp: digits, a point, digits";
    ++at;
    long long micros = 0;
    int places = 0;
    for (; at < end && is_digit(*at); ++at, ++places)
        if (places < 6) micros = micros * 10 + (*at - '0');  // finer digits are dropped
    if (places == 0) return "expected a timestamp: digits, a point, digits";
    for (; places < 6; ++places) micros *= 10;
    packet.micros = seconds * 1000000 + micros;
    if (at == end || *at != ' ') return "expected a space after the timestamp";
    ++at;
    packet.bytes.clear();
    while (at < end) {
        if (packet.bytes.size() == max_packet) return "more than 255 bytes";
        if (end - at < 3 || hex_value(at[0]) < 0 || hex_value(at[1]) < 0 || at[2] != ' ')
            return "expected a byte as two hex digits and a space";
        packet.bytes += static_cast<char>(hex_value(at[0]) * 16 + hex_value(at[1]));
        at += 3;
    }
    return "";
}

}  // namespace

LogError parse_packet_log(const std::string &text, std::vector<Packet> &packets) {
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        ++number;
        std::size_t stop = text.find('\n', start);
        if (stop == std::string::npos) stop = text.size();
        Packet packet{};
        std::string what = parse_line(text.data() + start, text.data() + stop, packet);
        if (!what.empty()) return {number, what};
        packets.push_back(std::move(packet));
        start = stop + 1;
    }
    return {};
}
