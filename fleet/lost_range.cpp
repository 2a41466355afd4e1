#include "lost_range.h"

#include <cinttypes>
#include <cstdio>

#include "numbers.h"

std::string format_lost(const LostRange &range) {
    char text[80];
    const int n =
        std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64 " %" PRIu64, range.epoch, range.first, range.last);
    return std::string(text, static_cast<std::size_t>(n));
}

bool parse_lost(const std::string &text, LostRange &range) {
    unsigned long long epoch = 0;
    unsigned long long first = 0;
    unsigned long long last = 0;
    const std::size_t one = text.find(' ');
    const std::size_t two = one == std::string::npos ? one : text.find(' ', one + 1);
    if (two == std::string::npos || one != 16) return false;
    const char *at = text.c_str();
    const char *end = at + text.size();
    const auto decimal = [](const char *begin, const char *stop, unsigned long long &value) {
        return begin != stop && *begin != '0' && parse_decimal(begin, stop, UINT64_MAX, value);
    };
    if (!parse_hex64(at, at + one, epoch) || !decimal(at + one + 1, at + two, first) ||
        !decimal(at + two + 1, end, last) || last < first)
        return false;
    range = {epoch, first, last};
    return true;
}

std::string describe_lost(const LostRange &range) {
    char epoch[17];
    std::snprintf(epoch, sizeof epoch, "%016" PRIx64, range.epoch);
    const std::uint64_t lines = range.lines();
    if (lines == 1)
        return "line " + group_digits(range.first) + " of epoch " + epoch + " is gone from the gateway: 1 line lost";
    return "lines " + group_digits(range.first) + " to " + group_digits(range.last) + " of epoch " + epoch +
           " are gone from the gateway: " + group_digits(lines) + " lines lost";
}
