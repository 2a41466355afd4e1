// The pure parts of merging logs: the order, the times --since and --until
// take, the bisection that finds a time in a log, the interfaces' names.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "merge_queue.h"
#include "support.h"
#include "time_range.h"

namespace {

// Merges logs given as their records' times: which log and which of its
// records goes out, in turn.
std::vector<std::pair<std::size_t, std::size_t>> merged(const std::vector<std::vector<long long>> &logs) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    std::vector<std::size_t> next(logs.size(), 0);
    std::vector<long long> firsts;
    firsts.reserve(logs.size());
    for (const std::vector<long long> &log : logs) firsts.push_back(log.empty() ? MergeQueue::ended : log[0]);
    for (MergeQueue queue(firsts); !queue.empty();) {
        const std::size_t log = queue.top();
        out.emplace_back(log, next[log]++);
        queue.replace_top(next[log] < logs[log].size() ? logs[log][next[log]] : MergeQueue::ended);
    }
    return out;
}

TEST(LogMerge, OrderAsMergecapMerges) {
    struct Case {
        const char *name;
        std::vector<std::vector<long long>> logs;
        std::vector<std::pair<std::size_t, std::size_t>> out;
    };
    const Case cases[] = {
        {"one log, as it is", {{5, 1, 3}}, {{0, 0}, {0, 1}, {0, 2}}},
        {"interleaved", {{1, 4, 6}, {2, 3, 7}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 2}, {1, 2}}},
        {"ties in argument order", {{2, 2}, {1, 2}, {2}}, {{1, 0}, {0, 0}, {0, 1}, {1, 1}, {2, 0}}},
        // The step from 30 back to 10 stays: 10 comes after 30, and the other
        // log's 20 is not held back behind it.
        {"a clock step backwards is kept",
         {{10, 30, 10, 40}, {20, 35}},
         {{0, 0}, {1, 0}, {0, 1}, {0, 2}, {1, 1}, {0, 3}}},
        {"empty logs", {{}, {3}, {}, {1}}, {{3, 0}, {1, 0}}},
        {"no logs", {}, {}},
        {"a log that ends first", {{1}, {2, 3, 4}, {2}}, {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {1, 2}}},
        {"many logs",
         {{9}, {8}, {7}, {6}, {5}, {4}, {3}, {2}, {1}},
         {{8, 0}, {7, 0}, {6, 0}, {5, 0}, {4, 0}, {3, 0}, {2, 0}, {1, 0}, {0, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(merged(c.logs), c.out);
    }
}

TEST(LogMerge, TimesAsSinceAndUntilTakeThem) {
    struct Case {
        const char *text;
        long long micros;  // -1: not a time
    };
    const Case cases[] = {
        {"1800000000", 1800000000000000},
        {"1800000000.5", 1800000000500000},
        {"1800000000.000001", 1800000000000001},
        {"0", 0},
        {"1800000000.0000001", -1},  // finer than a log holds
        {"1800000000.", -1},
        {".5", -1},
        {"-1", -1},
        {"1e9", -1},
        {" 1", -1},
        {"", -1},
        {"2027-01-15T10:03:00Z", 1800007380000000},
        {"2027-01-15T10:03:00", 1800007380000000},
        {"2027-01-15 10:03:00", 1800007380000000},
        {"2027-01-15T10:03", 1800007380000000},
        {"2027-01-15T10:03:00.25", 1800007380250000},
        {"2027-01-15T10:03:00.000001Z", 1800007380000001},
        {"2027-01-15T11:03:00+01:00", 1800007380000000},
        {"2027-01-15T11:03:00+0100", 1800007380000000},
        {"2027-01-15T11:03:00+01", 1800007380000000},
        {"2027-01-15T04:33:00-05:30", 1800007380000000},
        {"2027-01-15", 1799971200000000},
        {"1970-01-01T00:00:00Z", 0},
        {"2024-02-29T00:00:00Z", 1709164800000000},
        {"2023-02-29T00:00:00Z", -1},
        {"2027-13-01T00:00:00Z", -1},
        {"2027-01-15T24:00:00Z", -1},
        {"2027-01-15T10:60:00Z", -1},
        {"2027-01-15T10:03:00.1234567Z", -1},
        {"2027-01-15T10:03:00+25:00", -1},
        {"2027-01-15T10:03:00Zjunk", -1},
        {"2027-1-15T10:03:00Z", -1},
        {"1970-01-01T00:00:00+01:00", -1},  // before 1970
        {"yesterday", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        long long micros = -1;
        EXPECT_EQ(parse_time(c.text, micros), c.micros >= 0);
        if (c.micros >= 0) {
            EXPECT_EQ(micros, c.micros);
        }
    }
}

// Bisection in a log held in memory: the line where the first packet at or
// after a time starts, or -1 where the log must be read from its top.
long long bisected(const std::string &log, long long micros, int *reads = nullptr) {
    const ReadAt read = [&](std::uint64_t offset, char *data, std::size_t size) {
        if (reads != nullptr) ++*reads;
        if (offset > log.size()) return -1L;
        const std::size_t got = std::min(size, log.size() - offset);
        log.copy(data, got, offset);
        return static_cast<long>(got);
    };
    std::uint64_t offset = 0;
    if (!find_time(read, log.size(), micros, offset)) return -1;
    long long line = 0;
    for (std::size_t at = 0; at < offset; ++at) line += log[at] == '\n' ? 1 : 0;
    EXPECT_TRUE(offset == 0 || log[offset - 1] == '\n') << "starts inside a line";
    return line;
}

std::string log_at(const std::vector<long long> &seconds, const std::string &tail = "") {
    std::vector<Record> records;
    records.reserve(seconds.size());
    for (long long s : seconds) records.push_back({s * 1000000, std::string(1 + s % 7, static_cast<char>(s))});
    return log_of(records) + tail;
}

TEST(LogMerge, BisectionFindsTheStartWhereTimesRise) {
    std::vector<long long> rising;
    for (long long s = 100; s < 1100; ++s) rising.push_back(s);
    std::vector<long long> stepped = rising;  // the clock stepped back 500 s at line 700
    for (std::size_t i = 700; i < stepped.size(); ++i) stepped[i] -= 500;
    std::vector<long long> same(300, 7);
    struct Case {
        const char *name;
        std::string log;
        long long seconds;
        long long line;  // -1: read from the top
    };
    const Case cases[] = {
        {"before every line", log_at(rising), 50, 0},
        {"the first line", log_at(rising), 100, 0},
        {"inside", log_at(rising), 567, 467},
        {"the last line", log_at(rising), 1099, 999},
        {"after every line", log_at(rising), 5000, 1000},
        {"the first of equal times", log_at({1, 2, 3, 3, 3, 3, 4}), 3, 2},
        {"all equal, at them", log_at(same), 7, 0},
        {"all equal, after them", log_at(same), 8, 300},
        {"empty", "", 5, 0},
        {"one line", log_at({5}), 6, 1},
        {"a last line without newline counts as late", log_at(rising, "2000.0 aa"), 5000, 1000},
        {"a clock step backwards", log_at(stepped), 650, -1},
        {"a malformed line", log_at(rising) + "x\n" + log_at({2000}), 1500, -1},
        {"a line longer than any log line", log_at({1, 2}) + std::string(2000, '1') + "\n" + log_at({3}), 3, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(bisected(c.log, c.seconds * 1000000), c.line);
    }
    int reads = 0;
    bisected(log_at(rising), 567000000, &reads);
    EXPECT_LE(reads, 60) << "bisection reads about twice log2(lines)";
}

TEST(LogMerge, InterfaceNamedAfterTheLog) {
    const std::pair<const char *, const char *> cases[] = {
        {"gw7.log", "gw7"}, {"/var/lib/sfcollect/gw7.log", "gw7"},
        {"./a/b.log", "b"}, {"capture.txt", "capture.txt"},
        {".log", ".log"},   {"gw7.log.1", "gw7.log.1"},
        {"dir.log/x", "x"},
    };
    for (const auto &[path, name] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(interface_name(path), name);
    }
}

}  // namespace
