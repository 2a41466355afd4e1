#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "numbers.h"

namespace {

TEST(Numbers, StrictPortsAreWholeNumbersInRange) {
    struct Case {
        const char *text;
        bool zero_allowed;
        int port;  // -1: refused
    };
    const Case cases[] = {
        {"1", false, 1},     {"65535", false, 65535},
        {"0", true, 0},      {"0", false, -1},
        {"65536", true, -1}, {"", true, -1},
        {" 80", true, -1},   {"80 ", true, -1},
        {"+80", true, -1},   {"-1", true, -1},
        {"80x", true, -1},   {"0x50", true, -1},
        {"00080", true, 80}, {"99999999999999999999999", true, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\", zero " + (c.zero_allowed ? "allowed" : "refused"));
        int port = -1;
        const bool parsed = parse_port(c.text, c.zero_allowed, port);
        EXPECT_EQ(parsed, c.port >= 0);
        if (parsed) {
            EXPECT_EQ(port, c.port);
        }
    }
}

TEST(Numbers, NumbersStopAtTheirLimit) {
    unsigned long long value = 0;
    EXPECT_TRUE(parse_number("18446744073709551615", ULLONG_MAX, value));
    EXPECT_EQ(value, ULLONG_MAX);
    EXPECT_FALSE(parse_number("18446744073709551616", ULLONG_MAX, value));
    EXPECT_TRUE(parse_number("15", 15, value));
    EXPECT_FALSE(parse_number("16", 15, value));
}

TEST(Numbers, DigitsAreGroupedInThrees) {
    const std::pair<std::uint64_t, const char *> cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {40001, "40,001"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {UINT64_MAX, "18,446,744,073,709,551,615"},
    };
    for (const auto &c : cases) EXPECT_EQ(group_digits(c.first), c.second) << c.first;
}

TEST(Numbers, LoggerPortsReadAsAtoiDoes) {
    struct Case {
        const char *text;
        int port;
    };
    const Case cases[] = {
        {"9002", 9002}, {"  \t+80", 80}, {"80x", 80}, {"abc", 0},        {"", 0},
        {"-1", 65535},  {"65537", 1},    {"- 5", 0},  {"4294967297", 1}, {"99999999999999999999999", 65535},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(port_like_atoi(c.text), c.port);
    }
}

}  // namespace
