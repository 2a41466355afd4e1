#include "time_range.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "log_line.h"
#include "numbers.h"
#include "packet_log.h"

namespace {

// Digits [at, at + count) as a number no larger than max; at moves past them.
bool take_digits(const char *&at, int count, unsigned long long max, unsigned long long &value) {
    for (int i = 0; i < count; ++i)
        if (at[i] < '0' || at[i] > '9') return false;
    if (!parse_decimal(at, at + count, max, value)) return false;
    at += count;
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long days_from_civil(long long year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const auto of_era = static_cast<unsigned>(year - era * 400);
    const unsigned of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned of_cycle = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
    return era * 146097 + static_cast<long long>(of_cycle) - 719468;
}

unsigned days_in_month(unsigned long long year, unsigned long long month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// A point and one to six digits, as microseconds; nothing is fine too.
bool take_fraction(const char *&at, long long &micros) {
    micros = 0;
    if (*at != '.') return true;
    int places = 0;
    for (++at; *at >= '0' && *at <= '9'; ++at, ++places) {
        if (places == 6) return false;
        micros = micros * 10 + (*at - '0');
    }
    if (places == 0) return false;
    for (; places < 6; ++places) micros *= 10;
    return true;
}

bool parse_unix(const char *text, long long &micros) {
    const char *at = text;
    while (*at >= '0' && *at <= '9') ++at;
    unsigned long long seconds = 0;
    long long fraction = 0;
    if (!parse_decimal(text, at, max_log_seconds, seconds) || !take_fraction(at, fraction) || *at != '\0') return false;
    micros = static_cast<long long>(seconds) * 1000000 + fraction;
    return true;
}

// "+HH:MM", "+HHMM", "+HH" or the same with '-', as seconds east of UTC.
bool take_offset(const char *&at, long long &seconds) {
    seconds = 0;
    if (*at == 'Z') {
        ++at;
        return true;
    }
    if (*at != '+' && *at != '-') return true;
    const long long sign = *at++ == '-' ? -1 : 1;
    unsigned long long hours = 0;
    unsigned long long minutes = 0;
    if (!take_digits(at, 2, 23, hours)) return false;
    if (*at == ':') ++at;
    if (*at != '\0' && !take_digits(at, 2, 59, minutes)) return false;
    seconds = sign * static_cast<long long>(hours * 3600 + minutes * 60);
    return true;
}

bool parse_iso(const char *text, long long &micros) {
    const char *at = text;
    unsigned long long year = 0;
    unsigned long long month = 0;
    unsigned long long day = 0;
    unsigned long long hour = 0;
    unsigned long long minute = 0;
    unsigned long long second = 0;
    long long fraction = 0;
    long long offset = 0;
    if (!take_digits(at, 4, 9999, year) || *at++ != '-' || !take_digits(at, 2, 12, month) || month == 0 ||
        *at++ != '-' || !take_digits(at, 2, days_in_month(year, month), day) || day == 0)
        return false;
    if (*at == 'T' || *at == ' ') {
        ++at;
        if (!take_digits(at, 2, 23, hour) || *at++ != ':' || !take_digits(at, 2, 59, minute)) return false;
        if (*at == ':' && (!take_digits(++at, 2, 59, second) || !take_fraction(at, fraction))) return false;
        if (!take_offset(at, offset)) return false;
    }
    if (*at != '\0') return false;
    const long long seconds =
        days_from_civil(static_cast<long long>(year), static_cast<unsigned>(month), static_cast<unsigned>(day)) *
            86400 +
        static_cast<long long>(hour * 3600 + minute * 60 + second) - offset;
    if (seconds < 0) return false;
    micros = seconds * 1000000 + fraction;
    return true;
}

// A line found by a probe: where it starts and the next one does, its time.
struct Probe {
    std::uint64_t start = 0;
    std::uint64_t next = 0;
    long long micros = 0;
    bool torn = false;  // the file ends inside it
};

enum class Found { line, none, bad };

// The first line that starts at or after at and before limit; at is a line's
// start when is_start.
Found probe_line(const ReadAt &read, std::uint64_t at, bool is_start, std::uint64_t limit, Probe &probe) {
    // A well-formed line, its newline included, is at most max_log_line long.
    char window[max_log_line];
    probe.start = at;
    if (!is_start) {
        const long got = read(at - 1, window, sizeof window);
        if (got < 0) return Found::bad;
        const void *newline = std::memchr(window, '\n', static_cast<std::size_t>(got));
        if (newline == nullptr) return got < static_cast<long>(sizeof window) ? Found::none : Found::bad;
        probe.start = at + static_cast<std::uint64_t>(static_cast<const char *>(newline) - window);
    }
    if (probe.start >= limit) return Found::none;
    const long got = read(probe.start, window, sizeof window);
    if (got < 0) return Found::bad;
    const void *newline = std::memchr(window, '\n', static_cast<std::size_t>(got));
    if (newline == nullptr) {
        probe.torn = true;  // only the file's end cuts a well-formed line short
        return got < static_cast<long>(sizeof window) ? Found::line : Found::bad;
    }
    LogPacket packet;
    if (parse_log_line(window, static_cast<const char *>(newline), packet) != nullptr) return Found::bad;
    probe.micros = packet.micros;
    probe.next = probe.start + static_cast<std::uint64_t>(static_cast<const char *>(newline) - window) + 1;
    return Found::line;
}

// Whether probe keeps the order of the lines seen before it.
bool rises_with(const std::vector<Probe> &seen, const Probe &probe) {
    return probe.torn || std::none_of(seen.begin(), seen.end(), [&probe](const Probe &other) {
               return !other.torn && ((other.start < probe.start && other.micros > probe.micros) ||
                                      (other.start > probe.start && other.micros < probe.micros));
           });
}

}  // namespace

bool parse_time(const char *text, long long &micros) {
    return std::strchr(text, '-') != nullptr ? parse_iso(text, micros) : parse_unix(text, micros);
}

bool find_time(const ReadAt &read, std::uint64_t size, long long micros, std::uint64_t &offset) {
    // Every line that starts before lo is earlier than micros, every line
    // that starts at or after hi is not; a torn last line counts as late.
    std::uint64_t lo = 0;
    std::uint64_t hi = size;
    std::vector<Probe> seen;
    while (lo < hi) {
        const std::uint64_t mid = seen.empty() ? 0 : lo + (hi - lo) / 2;
        Probe probe;
        const Found found = probe_line(read, mid, mid == lo, hi, probe);
        if (found == Found::bad) return false;
        if (found == Found::none) {
            hi = mid;
            continue;
        }
        if (!rises_with(seen, probe)) return false;
        seen.push_back(probe);
        if (!probe.torn && probe.micros < micros) {
            lo = probe.next;
        } else {
            hi = probe.start;
        }
    }
    offset = lo;
    return true;
}
