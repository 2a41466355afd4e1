#include "numbers.h"

#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parse_decimal(const char *begin, const char *end, unsigned long long max, unsigned long long &value) {
    value = 0;
    const char *at = begin;
    for (; at < end && is_digit(*at); ++at) {
        const auto digit = static_cast<unsigned long long>(*at - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return at != begin && at == end;
}

std::string group_digits(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return digits;
}

bool parse_number(const char *text, unsigned long long max, unsigned long long &value) {
    return parse_decimal(text, text + std::strlen(text), max, value);
}

bool parse_hex64(const char *begin, const char *end, unsigned long long &value) {
    if (end - begin != 16) return false;
    value = 0;
    for (const char *at = begin; at < end; ++at) {
        const char c = *at;
        const int digit = is_digit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned long long>(digit);
    }
    return true;
}

bool parse_port(const char *text, bool zero_allowed, int &port) {
    unsigned long long value = 0;
    if (!parse_number(text, 65535, value) || (value == 0 && !zero_allowed)) return false;
    port = static_cast<int>(value);
    return true;
}

int port_like_atoi(const char *text) {
    const char *at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
    const bool negative = *at == '-';
    if (*at == '-' || *at == '+') ++at;
    unsigned value = 0;
    for (; is_digit(*at); ++at) value = (value * 10 + static_cast<unsigned>(*at - '0')) & 0xFFFF;
    if (negative) value = (0x10000 - value) & 0xFFFF;
    return static_cast<int>(value);
}
