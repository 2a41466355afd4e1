// bench/fleet_load's own arithmetic: what it sends, when, and what its
// figures come to.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "contract.h"
#include "load_figures.h"

namespace {

std::vector<long long> one_to(long long last) {
    std::vector<long long> values;
    for (long long v = 1; v <= last; ++v) values.push_back(v);
    return values;
}

TEST(LoadFigures, PercentileIsTheNearestRank) {
    struct Case {
        const char *what;
        std::vector<long long> sorted;
        double share;
        long long expected;
    };
    const Case cases[] = {
        {"none", {}, 0.5, 0},
        {"one value is every percentile", {7}, 0.99, 7},
        {"the lowest for share 0", {3, 4, 9}, 0.0, 3},
        {"median of two is the lower", {1, 2}, 0.5, 1},
        {"median of three", {1, 5, 9}, 0.5, 5},
        {"p50 of 1..100", one_to(100), 0.5, 50},
        {"p99 of 1..100", one_to(100), 0.99, 99},
        {"p99 of 1..1000", one_to(1000), 0.99, 990},
        {"p99 of 1..10 is the top", one_to(10), 0.99, 10},
        {"max", one_to(1000), 1.0, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(percentile(c.sorted, c.share), c.expected);
    }
}

TEST(LoadFigures, SendsSpreadEvenlyOverEachSecond) {
    struct Case {
        std::uint64_t second, gateway, gateways;
        long long expected;
    };
    const Case cases[] = {
        {0, 0, 4, 0},       {0, 1, 4, 250000}, {2, 3, 4, 2750000}, {1, 9999, 10000, 1999900},
        {5, 0, 1, 5000000}, {0, 2, 3, 666666},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.second) + " " + std::to_string(c.gateway) + "/" + std::to_string(c.gateways));
        EXPECT_EQ(send_offset(c.second, c.gateway, c.gateways), c.expected);
    }
}

TEST(LoadFigures, GatewaysJoinEvenlyOverTheRamp) {
    struct Case {
        std::uint64_t gateway, gateways, ramp, expected;
    };
    const Case cases[] = {
        {0, 10, 5, 0}, {1, 10, 5, 0}, {2, 10, 5, 1}, {9, 10, 5, 4}, {9999, 10000, 5, 4}, {7, 10, 0, 0}, {0, 1, 3, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.gateway) + "/" + std::to_string(c.gateways) + " over " + std::to_string(c.ramp));
        EXPECT_EQ(first_second(c.gateway, c.gateways, c.ramp), c.expected);
    }
}

TEST(LoadFigures, BatchesKeepTheContract) {
    struct Case {
        std::uint64_t epoch, seq;
        std::uint32_t gateway;
        timeval when;
        std::string expected;
    };
    const std::string zeros = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    const Case cases[] = {
        {0xff, 7, 2, {1800000000, 1}, "sflog1 00000000000000ff 7\n1800000000.000001 00 00 00 02 00 00 00 07 " + zeros},
        {0x0123456789abcdefULL,
         0x1000000ff,
         0x0a0b0c0d,
         {1, 999999},
         "sflog1 0123456789abcdef 4294967551\n1.999999 0a 0b 0c 0d 00 00 00 ff " + zeros},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string batch = format_load_batch(c.epoch, c.seq, c.gateway, c.when);
        EXPECT_EQ(batch, c.expected);
        BatchView view;
        ASSERT_EQ(read_batch(batch.data(), batch.size(), view), nullptr);
        EXPECT_EQ(view.epoch, c.epoch);
        EXPECT_EQ(view.seq, c.seq);
        EXPECT_EQ(view.count, 1U);
        EXPECT_EQ(view.last_micros, c.when.tv_sec * 1000000LL + c.when.tv_usec);
    }
}

}  // namespace
