#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packet_log.h"

namespace {

const char bad_byte[] = "expected a byte as two hex digits and a space";
const char bad_stamp[] = "expected a timestamp: digits, a point, digits";

TEST(PacketLog, ParsesLines) {
    struct Case {
        std::string line;
        long long micros;
        std::string bytes;
    };
    const Case cases[] = {
        {"7.000042 01 ab ff ", 7000042, "\x01\xab\xff"},
        {"1796698353.974117 ", 1796698353974117, ""},
        {"5.1 AB cD ", 5100000, "\xab\xcd"},
        {"12.0000019 00 ", 12000001, std::string(1, '\0')},  // finer digits dropped
        {"999999999999.999999 7f ", 999999999999999999, "\x7f"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        LogPacket packet;
        ASSERT_EQ(parse_log_line(c.line.data(), c.line.data() + c.line.size(), packet), nullptr);
        EXPECT_EQ(packet.micros, c.micros);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(packet.bytes), static_cast<std::size_t>(packet.len)), c.bytes);
        const std::string ended = c.line + "\n";
        const char *newline = nullptr;
        LogPacket again;
        ASSERT_EQ(parse_log_line_to_newline(ended.data(), again, newline), nullptr);
        EXPECT_EQ(newline, ended.data() + c.line.size());
        EXPECT_EQ(again.micros, c.micros);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(again.bytes), static_cast<std::size_t>(again.len)), c.bytes);
    }
}

TEST(PacketLog, SaysWhatIsWrongWithALine) {
    std::string longest = "1.5 ";
    for (int i = 0; i < 256; ++i) longest += "00 ";
    struct Case {
        std::string line;
        std::string what;
    };
    const Case cases[] = {
        {"1.000000 0g ", bad_byte},
        {"1.000000 aa", bad_byte},
        {"1.000000 aa  ", bad_byte},
        {"1.5 aa \r", bad_byte},
        {"", bad_stamp},
        {"x.5 ", bad_stamp},
        {"1. ", bad_stamp},
        {".5 ", bad_stamp},
        {"1.5", "expected a space after the timestamp"},
        {"1.5\t", "expected a space after the timestamp"},
        {longest, "more than 255 bytes"},
        {"1234567890123.5 ", "timestamp out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        LogPacket packet;
        const char *what = parse_log_line(c.line.data(), c.line.data() + c.line.size(), packet);
        ASSERT_NE(what, nullptr);
        EXPECT_EQ(what, c.what);
        // The same where a newline ends the line.
        const std::string ended = c.line + "\n";
        const char *newline = nullptr;
        EXPECT_EQ(parse_log_line_to_newline(ended.data(), packet, newline), what);
    }
}

TEST(PacketLog, ChecksWholeLogs) {
    struct Case {
        std::string text;
        std::size_t lines, size, bad_line;
        bool torn;
    };
    const std::string good = "1.000000 aa \n";
    const Case cases[] = {
        {"", 0, 0, 0, false},
        {good + good, 2, 26, 0, false},
        {good + "2.0000", 1, 13, 0, true},            // cut mid-timestamp
        {good + "2.000000 bb c", 1, 13, 0, true},     // cut mid-byte
        {good + "2.000000 bb ", 1, 13, 0, true},      // cut after a byte's space: reads as a shorter packet
        {good + "\n" + good, 1, 13, 2, false},        // an empty line
        {good + "1.0 zz \n2.0 \n", 1, 13, 2, false},  // stops at the first bad line
        {good + "1.0 zz \n2.0", 1, 13, 2, false},     // a bad line before a torn one
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const LogCheck check = check_packet_log(c.text.data(), c.text.size());
        EXPECT_EQ(check.lines, c.lines);
        EXPECT_EQ(check.size, c.size);
        EXPECT_EQ(check.bad_line, c.bad_line);
        EXPECT_EQ(check.torn, c.torn);
        EXPECT_EQ(check.what == nullptr, c.bad_line == 0);
    }
}

TEST(PacketLog, TellsWhatCouldStartALine) {
    std::string pairs = "1.5 ";
    for (int i = 0; i < 255; ++i) pairs += "ab ";
    struct Case {
        std::string tail;
        bool could;
    };
    const Case cases[] = {
        {"1", true},
        {"1796698353", true},
        {"1796698353.", true},
        {"1796698353.97", true},
        {"1796698353.974117 ", true},
        {"1796698353.974117 a", true},
        {"1796698353.974117 aB", true},
        {"1796698353.974117 ab ", true},
        {"1796698353.974117 ab cd 0", true},
        {pairs, true},
        {"", false},
        {".5", false},
        {"x", false},
        {"no newline at end", false},
        {"1.2.3", false},
        {"1. ", false},
        {"1.5  ", false},
        {"1.5 ab  ", false},
        {"1.5 abc", false},
        {"1.5 g", false},
        {"1.5 ab\r", false},
        {"1234567890123.5 ", false},
        {pairs + "c", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tail);
        EXPECT_EQ(could_start_log_line(c.tail.data(), c.tail.data() + c.tail.size()), c.could);
    }
}

}  // namespace
