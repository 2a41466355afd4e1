#ifndef SF_PCAP_TIME_RANGE_H
#define SF_PCAP_TIME_RANGE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>

// The lines with since <= t < until, in microseconds since 1970.
struct TimeRange {
    long long since = std::numeric_limits<long long>::min();
    long long until = std::numeric_limits<long long>::max();
};

// A time as --since and --until take it: Unix seconds with up to six
// decimals ("1800000000.25"), or an ISO 8601 date and time, UTC unless an
// offset is given ("2027-01-15T10:03:00.5+01:00"; a space for the T, Z, and
// the date alone are accepted too). False when text is neither.
bool parse_time(const char *text, long long &micros);

// Reads up to size bytes at offset into data: how many (fewer at the end of
// the file), or -1.
using ReadAt = std::function<long(std::uint64_t offset, char *data, std::size_t size)>;

// Where the first line stamped at or after micros starts in a log of size
// bytes whose timestamps rise, found by bisection. False when the lines it
// looks at do not rise, or one is malformed or cannot be read: the file is
// then to be read from its top.
bool find_time(const ReadAt &read, std::uint64_t size, long long micros, std::uint64_t &offset);

#endif
