#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "broker.h"
#include "contract.h"
#include "lost_range.h"
#include "support.h"

namespace {

TEST(Contract, HeadersReadBackAndBadOnesAreRefused) {
    const std::string header = format_header(0x00ab00cd00ef0012ULL, 42);
    EXPECT_EQ(header, "sflog1 00ab00cd00ef0012 42\n");
    struct Case {
        std::string payload;
        std::size_t size;  // 0: refused
    };
    const Case cases[] = {
        {header + "1.0 aa \n", header.size()},
        {"sflog1 00ab00cd00ef0012 1\n", 26},
        {"sflog1 00AB00CD00EF0012 42\n", 0},  // uppercase
        {"sflog1 ab00cd00ef0012 42\n", 0},    // short epoch
        {"sflog1 00ab00cd00ef0012 0\n", 0},   // lines count from 1
        {"sflog1 00ab00cd00ef0012 042\n", 0},
        {"sflog1 00ab00cd00ef0012 42", 0},  // no newline
        {"sflog1 00ab00cd00ef0012 99999999999999999999\n", 0},
        {"sflog2 00ab00cd00ef0012 42\n", 0},
        {"1.0 aa \n", 0},
        {"", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload);
        std::uint64_t epoch = 0;
        std::uint64_t seq = 0;
        EXPECT_EQ(parse_header(c.payload.data(), c.payload.size(), epoch, seq), c.size);
        if (c.size != 0) {
            EXPECT_EQ(epoch, 0x00ab00cd00ef0012ULL);
        }
    }
}

TEST(Contract, BatchesAreWholeWellFormedLines) {
    const std::string header = "sflog1 0123456789abcdef 7\n";
    const std::string line = "1800000000.000001 aa bb \n";
    struct Case {
        std::string payload;
        const char *what;  // null: read, with count lines
        std::uint64_t count;
    };
    const Case cases[] = {
        {header + line, nullptr, 1},
        {header + line + line + line, nullptr, 3},
        {header + "1800000000.000001 \n", nullptr, 1},
        {header, "no lines", 0},
        {line, "no \"sflog1 EPOCH SEQ\" header", 0},
        {header + line + "1.0 aa ", "last line has no newline", 0},
        {header + "1.0 aA \n", nullptr, 1},
        {header + "1.0 zz \n", "expected a byte as two hex digits and a space", 0},
        {header + line + "\n", "expected a timestamp: digits, a point, digits", 0},
        {header + std::string(max_payload - header.size(), 'x'), "last line has no newline", 0},  // not too large
        {header + std::string(max_payload - header.size() + 1, 'x'), "payload larger than 256 KiB", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 80));
        BatchView batch;
        const char *what = read_batch(c.payload.data(), c.payload.size(), batch);
        if (c.what == nullptr) {
            ASSERT_EQ(what, nullptr) << what;
            EXPECT_EQ(batch.epoch, 0x0123456789abcdefULL);
            EXPECT_EQ(batch.seq, 7U);
            EXPECT_EQ(batch.count, c.count);
            EXPECT_EQ(std::string(batch.lines, batch.size), c.payload.substr(header.size()));
        } else {
            ASSERT_NE(what, nullptr);
            EXPECT_STREQ(what, c.what);
        }
    }
}

TEST(Contract, AcksReadBack) {
    std::uint64_t epoch = 0;
    std::uint64_t next = 0;
    const std::string ack = format_ack(0xfedcba9876543210ULL, 1000001);
    EXPECT_EQ(ack, "fedcba9876543210 1000001");
    ASSERT_TRUE(parse_ack(ack.data(), ack.size(), epoch, next));
    EXPECT_EQ(epoch, 0xfedcba9876543210ULL);
    EXPECT_EQ(next, 1000001U);
    const std::string line = ack + "\n";
    ASSERT_TRUE(parse_ack(line.data(), line.size(), epoch, next));
    EXPECT_EQ(next, 1000001U);
    for (const std::string bad : {"fedcba9876543210 1 ", "fedcba9876543210", "fedcba9876543210 x", " 1",
                                  "fedcba9876543210 1\n\n", "FEDCBA9876543210 1", "fedcba9876543210 01"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_ack(bad.data(), bad.size(), epoch, next));
    }
}

// "EPOCH left" is no ack: publishers that know only acks pass over it.
TEST(Contract, LeftAnswersReadBackAndAreNoAcks) {
    std::uint64_t epoch = 0;
    std::uint64_t next = 0;
    const std::string left = format_left(0xfedcba9876543210ULL);
    EXPECT_EQ(left, "fedcba9876543210 left");
    EXPECT_FALSE(parse_ack(left.data(), left.size(), epoch, next));
    struct Case {
        std::string text;
        bool read;
    };
    const Case cases[] = {
        {left, true},
        {left + "\n", true},
        {left + " ", false},
        {"fedcba9876543210 lef", false},
        {"fedcba9876543210 1", false},
        {"FEDCBA9876543210 left", false},
        {" left", false},
        {"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        epoch = 0;
        EXPECT_EQ(parse_left(c.text.data(), c.text.size(), epoch), c.read);
        if (c.read) {
            EXPECT_EQ(epoch, 0xfedcba9876543210ULL);
        }
    }
}

TEST(Contract, LostRangesReadBackAndAreSaidWithTheirCount) {
    const LostRange range{0x0123456789abcdefULL, 1204, 1213};
    EXPECT_EQ(format_lost(range), "0123456789abcdef 1204 1213");
    EXPECT_EQ(describe_lost(range),
              "lines 1,204 to 1,213 of epoch 0123456789abcdef are gone from the gateway: 10 lines lost");
    EXPECT_EQ(describe_lost({1, 1234567, 1234567}),
              "line 1,234,567 of epoch 0000000000000001 is gone from the gateway: 1 line lost");
    EXPECT_EQ(describe_lost({1, 1, 1000}),
              "lines 1 to 1,000 of epoch 0000000000000001 are gone from the gateway: 1,000 lines lost");
    struct Case {
        std::string text;
        bool read;
        LostRange range;
    };
    const Case cases[] = {
        {"0123456789abcdef 1204 1213", true, range},
        {"0000000000000001 7 7", true, {1, 7, 7}},
        {"0123456789abcdef 1213 1204", false, {}},
        {"0123456789abcdef 0 4", false, {}},
        {"0123456789abcdef 01 4", false, {}},
        {"0123456789abcdef 1 4 ", false, {}},
        {"0123456789abcdef 1", false, {}},
        {"0123456789ABCDEF 1 4", false, {}},
        {"0123456789abcde 1 4", false, {}},
        {"0123456789abcdef 1 18446744073709551616", false, {}},
        {"", false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        LostRange read;
        ASSERT_EQ(parse_lost(c.text, read), c.read);
        if (c.read) {
            EXPECT_EQ(read.epoch, c.range.epoch);
            EXPECT_EQ(read.first, c.range.first);
            EXPECT_EQ(read.last, c.range.last);
        }
    }
}

TEST(Contract, GatewayNamesAndTopics) {
    for (const char *good : {"gw1", "GW-1.site_a", "x"}) EXPECT_TRUE(is_gateway_name(good)) << good;
    for (const char *bad : {"", ".", "..", "gw/1", "gw 1", "gw+", "gw#", "gw\n", "gw\xc3\xa9"})
        EXPECT_FALSE(is_gateway_name(bad)) << bad;
    std::string name;
    EXPECT_TRUE(gateway_of("site/a/gw1/packets", "site/a", name));
    EXPECT_EQ(name, "gw1");
    for (const char *topic : {"sflogger/gw1/ack", "sflogger/a/b/packets", "sflogger//packets", "other/gw1/packets",
                              "sfloggerx/gw1/packets", "sflogger/../packets"})
        EXPECT_FALSE(gateway_of(topic, "sflogger", name)) << topic;
}

// Whether what a publisher reads on its own status topic shows another
// publisher of its name.
TEST(Contract, StatusFromAnotherPublisherOfTheName) {
    const std::string me = "1800000000000000 gw-a:/var/log/sflogger/gw1.log";
    struct Case {
        const char *what;
        std::string from;
        bool announced;
        bool taken;
    };
    const Case cases[] = {
        {"its own online or will", me, true, false},
        {"its own, from an earlier start", "1700000000000000 gw-a:/var/log/sflogger/gw1.log", true, false},
        {"another's, started after it", "1800000000000001 gw-b:/var/log/sflogger/gw1.log", true, true},
        {"another log on this host, started after it", "1800000000000001 gw-a:/srv/gw1.log", true, true},
        {"another's, started before it: that one ends", "1799999999999999 gw-b:/var/log/sflogger/gw1.log", true, false},
        {"a record restored from an old save, of this gateway under another name",
         "1700000000000000 old-name:/var/log/sflogger/gw1.log", true, false},
        {"started at the same moment: the greater name wins", "1800000000000000 gw-b:/var/log/sflogger/gw1.log", true,
         true},
        {"started at the same moment, the lesser name", "1800000000000000 gw-0:/var/log/sflogger/gw1.log", true, false},
        {"another's, before it was online", "1800000000000001 gw-b:/var/log/sflogger/gw1.log", false, false},
        {"a sender that does not say who it is", "", true, false},
        {"no start time", "gw-b:/var/log/sflogger/gw1.log", true, false},
        {"no name", "1800000000000001 ", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(shows_name_taken(c.from, me, c.announced), c.taken);
    }
}

TEST(Contract, BrokerUrls) {
    struct Case {
        const char *url;
        const char *host;
        int port;
        bool fits;
        bool tls;
    };
    const Case cases[] = {
        {"mqtt://localhost", "localhost", 1883, true, false},
        {"mqtts://broker.example.org", "broker.example.org", 8883, true, true},
        {"mqtt://10.0.0.1:1884", "10.0.0.1", 1884, true, false},
        {"mqtts://h:0", "", 0, false, false},
        {"mqtt://h:65536", "", 0, false, false},
        {"mqtt://", "", 0, false, false},
        {"http://h", "", 0, false, false},
        {"mqtt://user@h", "", 0, false, false},
        {"mqtt://h/path", "", 0, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        BrokerOptions options;
        ASSERT_EQ(parse_broker_url(c.url, options), c.fits);
        if (!c.fits) continue;
        EXPECT_EQ(options.host, c.host);
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.tls, c.tls);
    }
}

// A refusal made outside a turn (a message handled after a commit, a
// publish) ends the next turn: the program says why and stops instead of
// turning without a socket for ever.
TEST(Contract, RefusedOutsideATurnEndsTheNext) {
    BrokerOptions options;
    options.host = "127.0.0.1";
    options.port = closed_port();  // no connection comes up
    BrokerLink link(options);
    std::string error;
    ASSERT_TRUE(link.open({"refused-test", true, "", "", "", "taken"}, error)) << error;
    bool ready = false;
    EXPECT_TRUE(link.turn(-1, std::chrono::milliseconds(0), ready, error)) << error;
    link.refuse("another sfcollect is using the client id refused-test");
    EXPECT_FALSE(link.turn(-1, std::chrono::milliseconds(0), ready, error));
    EXPECT_EQ(error, "another sfcollect is using the client id refused-test");
}

}  // namespace
