// sflog2pcap merging many logs into pcapng, read back with the real tshark,
// capinfos and libpcap.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "capture_support.h"
#include "support.h"

namespace {

const std::string log2pcap = SFLOG2PCAP_PATH;
const std::string tshark = "/usr/bin/tshark";

// A gateway's records, all its files together, oldest first.
struct Gateway {
    std::string name;
    std::vector<Record> records;
};

struct Merged {
    std::size_t gateway;
    Record record;
};

// What the merge must give: the records in [since, until) of each gateway,
// the earliest next one first, ties to the gateway named first.
std::vector<Merged> expected_merge(const std::vector<Gateway> &gateways, long long since = 0,
                                   long long until = 1LL << 62) {
    std::vector<std::vector<Record>> left(gateways.size());
    for (std::size_t g = 0; g < gateways.size(); ++g)
        for (const Record &record : gateways[g].records)
            if (record.micros >= since && record.micros < until) left[g].push_back(record);
    std::vector<std::size_t> next(gateways.size(), 0);
    std::vector<Merged> out;
    for (;;) {
        std::size_t best = gateways.size();
        for (std::size_t g = 0; g < gateways.size(); ++g)
            if (next[g] < left[g].size() &&
                (best == gateways.size() || left[g][next[g]].micros < left[best][next[best]].micros))
                best = g;
        if (best == gateways.size()) return out;
        out.push_back({best, left[best][next[best]++]});
    }
}

std::vector<Record> random_records(std::mt19937 &random, int count, long long from, long long spread) {
    std::vector<Record> records;
    records.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string bytes(random() % 256, '\0');
        for (char &byte : bytes) byte = static_cast<char>(random());
        from += static_cast<long long>(random() % static_cast<unsigned>(spread));
        records.push_back({from, bytes});
    }
    return records;
}

std::vector<Record> slice(const std::vector<Record> &records, std::size_t from, std::size_t to) {
    return {records.begin() + static_cast<long>(from), records.begin() + static_cast<long>(to)};
}

std::string packets_text(const std::vector<Record> &records) {
    std::string text;
    for (const Record &record : records) text += log_line(record);
    return text;
}

std::string merged_text(const std::vector<Merged> &merged) {
    std::string text;
    for (const Merged &m : merged) text += log_line(m.record);
    return text;
}

void gzip_file(const std::string &path) { ASSERT_EQ(run("/bin/gzip", {"gzip", "-n", path}).status, 0); }

// Three gateways: one with rotated files, compressed and not, and a clock
// step backwards; one whose times tie with the first's.
TEST(MergeLogs, OneInterfacePerGatewayInMergedOrder) {
    if (access(tshark.c_str(), X_OK) != 0) GTEST_SKIP() << "no tshark here (Debian: tshark)";
    TempDir dir;
    std::mt19937 random(24);
    std::vector<Gateway> gateways = {{"gw-1", random_records(random, 300, 1800000000000000, 2000000)},
                                     {"gw-2", random_records(random, 300, 1800000000000000, 2000000)},
                                     {"gw-3", {}}};
    gateways[1].records[200].micros = gateways[1].records[199].micros - 100000000;  // the clock stepped back
    for (std::size_t i = 200; i < 300; ++i)
        gateways[1].records[i].micros = gateways[1].records[200].micros + static_cast<long long>(i - 200) * 1000;
    for (std::size_t i = 0; i < 300; i += 3) gateways[2].records.push_back({gateways[0].records[i].micros, "tie"});
    write_file(dir / "gw-1.log", log_of(gateways[0].records));
    write_file(dir / "gw-2.log.2", log_of(slice(gateways[1].records, 0, 100)));
    gzip_file(dir / "gw-2.log.2");
    write_file(dir / "gw-2.log.1", log_of(slice(gateways[1].records, 100, 250)));
    write_file(dir / "gw-2.log", log_of(slice(gateways[1].records, 250, 300)));
    write_file(dir / "gw-3.log", log_of(gateways[2].records));

    const Outcome merging =
        run(log2pcap, {"sflog2pcap", "-o", dir / "out.pcapng", dir / "gw-1.log", dir / "gw-2.log", dir / "gw-3.log"});
    ASSERT_EQ(merging.status, 0) << merging.err;
    EXPECT_EQ(merging.err, "");
    const Outcome shown = run(tshark, {"tshark", "-r", dir / "out.pcapng", "-T", "fields", "-e", "frame.interface_name",
                                       "-e", "frame.time_epoch", "-e", "data"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::vector<Merged> expected = expected_merge(gateways);
    const std::vector<std::string> lines = lines_of(shown.out);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Record &record = expected[i].record;
        char time[64];
        std::snprintf(time, sizeof time, "\t%lld.%06lld000\t", record.micros / 1000000, record.micros % 1000000);
        std::string hex = hex_of(record.bytes);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        ASSERT_EQ(lines[i], gateways[expected[i].gateway].name + time + hex) << "packet " << i + 1;
    }
    const Outcome info = run("/usr/bin/capinfos", {"capinfos", "-t", "-I", dir / "out.pcapng"});
    EXPECT_EQ(info.status, 0) << info.err;
    std::string interfaces = "Number of interfaces in file: 3\n";
    for (std::size_t g = 0; g < gateways.size(); ++g)
        interfaces +=
            "Interface #" + std::to_string(g) + " info:\n                     Name = " + gateways[g].name + "\n";
    std::string shown_interfaces;
    for (const std::string &line : lines_of(info.out))
        if (line.find("Name =") != std::string::npos || line.find("nterface") != std::string::npos)
            shown_interfaces += line + "\n";
    EXPECT_EQ(shown_interfaces, interfaces);
    EXPECT_NE(info.out.find("File type:           Wireshark/... - pcapng"), std::string::npos) << info.out;
}

// Gateway a's range falls between its two files; b's clock stepped back;
// c is over a megabyte with rising times, so its ends are found by bisection.
TEST(MergeLogs, TimeRangesSelectExactly) {
    TempDir dir;
    const long long s = 1000000;
    std::vector<Gateway> gateways = {{"a", {}}, {"b", {}}, {"c", {}}};
    for (long long t : {100, 101, 102, 200, 201}) gateways[0].records.push_back({t * s, "a"});
    for (long long t : {100, 150, 300, 120, 160, 310}) gateways[1].records.push_back({t * s, "b"});
    for (long long i = 0; i < 12000; ++i) gateways[2].records.push_back({100 * s + i * 20000, std::string(40, 'c')});
    // a's log a link into another folder, rotated there.
    mkdir((dir / "data").c_str(), 0755);
    write_file(dir / "data/a.log.1", log_of(slice(gateways[0].records, 0, 3)));
    write_file(dir / "data/a.log", log_of(slice(gateways[0].records, 3, 5)));
    ASSERT_EQ(symlink("data/a.log", (dir / "a.log").c_str()), 0);
    write_file(dir / "b.log", log_of(gateways[1].records));
    write_file(dir / "c.log", log_of(gateways[2].records));
    struct stat st {};
    ASSERT_EQ(stat((dir / "c.log").c_str(), &st), 0);
    ASSERT_GT(st.st_size, 1 << 20);
    struct Case {
        std::vector<std::string> options;
        long long since;
        long long until;
    };
    const Case cases[] = {
        {{"--since", "103", "--until", "199"}, 103 * s, 199 * s},  // between a's two files
        {{"--since", "140", "--until", "170"}, 140 * s, 170 * s},  // both sides of b's step back
        {{"--since", "301"}, 301 * s, 1LL << 62},
        {{"--until", "101"}, 0, 101 * s},
        {{"--since", "150", "--until", "150.000001"}, 150 * s, 150 * s + 1},  // since inclusive, until exclusive
        {{"--since", "150.02", "--until", "150.02"}, 150 * s, 150 * s},       // empty
        {{"--since", "1970-01-01T00:02:30.5+00:00", "--until", "1970-01-01T01:04:00+01:00"}, 150 * s + 500000, 240 * s},
        {{"--since", "100.000001", "--until", "339.98"}, 100 * s + 1, 339980000},
    };
    for (const Case &c : cases) {
        std::string name;
        for (const std::string &option : c.options) name += option + " ";
        SCOPED_TRACE(name);
        std::vector<std::string> args = {"sflog2pcap", "-o", dir / "out.pcapng"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {dir / "a.log", dir / "b.log", dir / "c.log"});
        const Outcome outcome = run(log2pcap, args);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(packets_text(read_capture(dir / "out.pcapng")),
                  merged_text(expected_merge(gateways, c.since, c.until)));
    }
}

TEST(MergeLogs, BadInputIsSaid) {
    TempDir dir;
    const std::string usage =
        "usage: sflog2pcap [-l LINKTYPE] [IN [OUT]]\n"
        "       sflog2pcap [-l LINKTYPE] [--since TIME] [--until TIME] [-o OUT] [--archive DIR] [LOG...]\n";
    mkdir((dir / "empty").c_str(), 0755);
    mkdir((dir / "sub").c_str(), 0755);
    write_file(dir / "empty/notes.txt", "not a log\n");
    write_file(dir / "a.log", log_of({{1000000, "\x01"}}));
    write_file(dir / "sub/a.log", log_of({{2000000, "\x02"}}));
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--since", "5", "--until", "4", dir / "a.log"}, "sflog2pcap: --since 5 is later than --until 4\n" + usage},
        {{"--since", "yesterday", dir / "a.log"}, "sflog2pcap: --since: cannot read the time yesterday\n" + usage},
        {{"--until", "2027-02-30", dir / "a.log"}, "sflog2pcap: --until: cannot read the time 2027-02-30\n" + usage},
        {{"--archive", dir / "empty"}, "sflog2pcap: no NAME.log in " + dir / "empty" + "\n" + usage},
        {{"-o", dir / "out", dir / "a.log", dir / "sub/a.log"},
         "sflog2pcap: two logs named a: " + dir / "a.log" + " and " + dir / "sub/a.log" + "\n" + usage},
        {{"--archive", dir / "sub", dir / "a.log"},
         "sflog2pcap: two logs named a: " + dir / "a.log" + " and " + dir / "sub/a.log" + "\n" + usage},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> args = {"sflog2pcap"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome outcome = run(log2pcap, args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.out, "");
    }
}

// A malformed line stops the merge with what came before it written; its
// number is right where bisection began reading past the file's top.
TEST(MergeLogs, MalformedLineStopsTheMerge) {
    TempDir dir;
    std::vector<Record> records;
    for (long long i = 0; i < 20000; ++i) records.push_back({1000000 + i * 1000, std::string(40, 'x')});
    std::string text = log_of(records);
    const std::size_t bad = text.find('\n', text.size() * 3 / 4);  // after the line ending here
    text.insert(bad + 1, "19.5 zz \n");
    write_file(dir / "big.log", text);
    write_file(dir / "small.log", log_of({{1000000, "\x01"}, {15000000, "\x02"}}));
    const std::size_t line =
        static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<long>(bad) + 1, '\n')) + 1;
    const Outcome outcome =
        run(log2pcap, {"sflog2pcap", "--since", "10", "-o", dir / "out.pcapng", dir / "small.log", dir / "big.log"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, "sflog2pcap: " + dir / "big.log:" + std::to_string(line) +
                               ": expected a byte as two hex digits and a space\n");
    std::vector<Gateway> before = {{"small", {{15000000, "\x02"}}}, {"big", {}}};
    for (const Record &record : records)
        if (record.micros >= 10000000 && record.micros < 1000000 + static_cast<long long>(line - 1) * 1000)
            before[1].records.push_back(record);
    EXPECT_EQ(packets_text(read_capture(dir / "out.pcapng")), merged_text(expected_merge(before)));
}

// How far a process has read a file, from /proc; -1 when it has it not open.
long long read_offset(pid_t pid, const std::string &path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) return -1;
    long long offset = -1;
    while (const dirent *entry = readdir(dir)) {
        char target[4096];
        const ssize_t size = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (size <= 0 || std::string(target, static_cast<std::size_t>(size)) != path) continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
        std::string key;
        if (info >> key >> offset && key == "pos:") break;
        offset = -1;
    }
    closedir(dir);
    return offset;
}

// The merge holds back while its output is not read: meanwhile one file is
// truncated under it and the next removed before it is reached.
TEST(MergeLogs, FileTruncatedOrRemovedWhileReadIsSaid) {
    TempDir dir;
    std::vector<Record> records;
    for (long long i = 0; i < 200000; ++i) records.push_back({1000000 + i, std::string(40, 'x')});
    write_file(dir / "gw.log.2", log_of(records));
    write_file(dir / "gw.log.1", log_of({{5000000, "\x01"}}));
    write_file(dir / "gw.log", log_of({{6000000, "\x02"}}));
    Process merging(log2pcap, {"sflog2pcap", "-o", "-", dir / "gw.log"});
    // Blocked on its full output pipe, it reads no further.
    long long offset = -1;
    int unchanged = 0;
    for (int waited = 0; waited < wait_ms && unchanged < 20; waited += 10, usleep(10000)) {
        const long long now = read_offset(merging.pid(), dir / "gw.log.2");
        unchanged = now == offset && now >= (1 << 20) ? unchanged + 1 : 0;
        offset = now;
    }
    ASSERT_GE(offset, 1 << 20) << "it never read gw.log.2";
    ASSERT_EQ(truncate((dir / "gw.log.2").c_str(), 0), 0);
    ASSERT_EQ(unlink((dir / "gw.log.1").c_str()), 0);
    const Outcome outcome = merging.finish();
    EXPECT_EQ(outcome.status, 0);
    const long long line = static_cast<long long>(log_line(records[0]).size());
    EXPECT_EQ(outcome.err, "sflog2pcap: " + dir / "gw.log.2" + ": truncated while read, its lines from byte " +
                               std::to_string(offset / line * line) + " on left out\nsflog2pcap: " + dir / "gw.log.1" +
                               ": removed before it was read, passed over\n");
    write_file(dir / "out.pcapng", outcome.out);
    const std::vector<Record> got = read_capture(dir / "out.pcapng");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(log_line(got.back()), log_line({6000000, "\x02"}));
    EXPECT_EQ(packets_text(slice(got, 0, got.size() - 1)), packets_text(slice(records, 0, got.size() - 1)));
}

}  // namespace
