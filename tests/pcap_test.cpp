// The bridge to Wireshark: sflog2pcap and sfpcap2log against libpcap and the
// real tshark, sfextcap as tshark runs it.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "capture_support.h"
#include "log_line.h"
#include "support.h"

namespace {

const std::string log2pcap = SFLOG2PCAP_PATH;
const std::string pcap2log = SFPCAP2LOG_PATH;
const std::string extcap = SFEXTCAP_PATH;
const std::string replay = SFREPLAY_PATH;
const std::string tshark = "/usr/bin/tshark";

// Random packets with random gaps, the empty and the longest among them.
std::vector<Record> random_records(int count) {
    std::mt19937 random(2027);
    std::vector<Record> records = {{1800000000000001, ""}, {1800000000000002, all_bytes(255)}};
    for (int i = 0; i < count; ++i) {
        std::string bytes(random() % 256, '\0');
        for (char &byte : bytes) byte = static_cast<char>(random());
        records.push_back({records.back().micros + static_cast<long long>(random() % 5000000), bytes});
    }
    records.push_back({records.back().micros + 1, ""});
    return records;
}

void write_capture(const std::string &path, const std::vector<Record> &records, int linktype = 1) {
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t *dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (const Record &record : records) {
        pcap_pkthdr header{};
        header.ts = {static_cast<time_t>(record.micros / 1000000), static_cast<suseconds_t>(record.micros % 1000000)};
        header.caplen = header.len = static_cast<bpf_u_int32>(record.bytes.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, reinterpret_cast<const u_char *>(record.bytes.data()));
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

TEST(Pcap, RoundTripsThroughTshark) {
    if (access(tshark.c_str(), X_OK) != 0) GTEST_SKIP() << "no tshark here (Debian: tshark)";
    TempDir dir;
    const std::vector<Record> records = random_records(300);
    write_file(dir / "in.log", log_of(records));
    ASSERT_EQ(run(log2pcap, {"sflog2pcap", dir / "in.log", dir / "out.pcap"}).status, 0);
    const Outcome shown =
        run(tshark, {"tshark", "-r", dir / "out.pcap", "-T", "fields", "-e", "frame.time_epoch", "-e", "data"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::vector<std::string> lines = lines_of(shown.out);
    ASSERT_EQ(lines.size(), records.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%lld.%06lld000\t", records[i].micros / 1000000,
                      records[i].micros % 1000000);
        std::string hex = hex_of(records[i].bytes);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        ASSERT_EQ(lines[i], expected + hex) << "packet " << i + 1;
    }
    ASSERT_EQ(run(pcap2log, {"sfpcap2log", dir / "out.pcap", dir / "back.log"}).status, 0);
    EXPECT_EQ(read_file(dir / "back.log"), read_file(dir / "in.log"));
}

TEST(Pcap, LinkTypeByNumberOrName) {
    TempDir dir;
    write_file(dir / "in.log", log_of({{1000000, "\x01"}}));
    struct Case {
        std::vector<std::string> flags;
        int linktype;
    };
    for (const Case &c : {Case{{}, 147}, Case{{"-l", "195"}, 195}, Case{{"-l", "IEEE802_15_4_NOFCS"}, 230},
                          Case{{"-l", "USER15"}, 162}}) {
        std::vector<std::string> args = {"sflog2pcap"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        args.insert(args.end(), {dir / "in.log", dir / "out.pcap"});
        ASSERT_EQ(run(log2pcap, args).status, 0);
        int linktype = -1;
        EXPECT_EQ(read_capture(dir / "out.pcap", &linktype).size(), 1U);
        EXPECT_EQ(linktype, c.linktype);
    }
    const Outcome outcome = run(log2pcap, {"sflog2pcap", "-l", "NO_SUCH_TYPE", dir / "in.log"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err,
              "sflog2pcap: unknown link type NO_SUCH_TYPE\nusage: sflog2pcap [-l LINKTYPE] [IN [OUT]]\n"
              "       sflog2pcap [-l LINKTYPE] [--since TIME] [--until TIME] [-o OUT] [--archive DIR] [LOG...]\n");
}

TEST(Pcap, MalformedLogsStopWithWhatCameBefore) {
    const std::string good = log_line({1000000, "\xAA"});
    struct Case {
        std::string text;
        int status;
        std::string message;  // after "sflog2pcap: FILE:"
        std::size_t records;
    };
    const Case cases[] = {
        {good + "2.0 0g \n" + good, 2, "2: expected a byte as two hex digits and a space", 1},
        {good + good + "3.0 aa", 0, "3: last line has no newline, not converted", 2},
        {good + "4294967296.0 \n", 2, "2: timestamp beyond what a pcap file holds", 1},
        {"\n", 2, "1: expected a timestamp: digits, a point, digits", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        write_file(dir / "in.log", c.text);
        const Outcome outcome = run(log2pcap, {"sflog2pcap", dir / "in.log", dir / "out.pcap"});
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.err, "sflog2pcap: " + dir / "in.log" + ":" + c.message + "\n");
        EXPECT_EQ(read_capture(dir / "out.pcap").size(), c.records);
    }
}

TEST(Pcap, CapturesThatCannotBeLogs) {
    TempDir dir;
    write_capture(dir / "long.pcap", {{1000000, "\x01"}, {2000000, std::string(256, 'x')}, {3000000, "\x03"}});
    const Outcome stopped = run(pcap2log, {"sfpcap2log", dir / "long.pcap", dir / "out.log"});
    EXPECT_EQ(stopped.status, 2);
    EXPECT_EQ(stopped.err, "sfpcap2log: packet 2: 256 bytes, more than 255\n");
    EXPECT_EQ(read_file(dir / "out.log"), log_line({1000000, "\x01"}));

    const Outcome skipped = run(pcap2log, {"sfpcap2log", "-s", dir / "long.pcap", dir / "out.log"});
    EXPECT_EQ(skipped.status, 0);
    EXPECT_EQ(skipped.err, "sfpcap2log: skipped 1 packets of 3 that cannot be frames\n");
    EXPECT_EQ(read_file(dir / "out.log"), log_line({1000000, "\x01"}) + log_line({3000000, "\x03"}));

    write_file(dir / "text.pcap", "not a capture\n");
    const Outcome garbage = run(pcap2log, {"sfpcap2log", dir / "text.pcap"});
    EXPECT_EQ(garbage.status, 2);
    EXPECT_EQ(garbage.err.rfind("sfpcap2log: " + dir / "text.pcap" + ": ", 0), 0U) << garbage.err;
}

TEST(Pcap, LiveLogIsConvertedLineByLine) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "in").c_str(), 0600), 0);
    Process converting(log2pcap, {"sflog2pcap", dir / "in", dir / "out.pcap"});
    const int fd = open((dir / "in").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string first = log_line({1000000, "\x01\x02"});
    ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    const std::size_t header = 24;
    const std::size_t record = 16 + 2;
    struct stat info {};
    for (int waited = 0; waited < wait_ms; ++waited) {
        if (stat((dir / "out.pcap").c_str(), &info) == 0 && static_cast<std::size_t>(info.st_size) == header + record)
            break;
        usleep(1000);
    }
    EXPECT_EQ(static_cast<std::size_t>(info.st_size), header + record) << "the record waits for more input";
    close(fd);
    EXPECT_EQ(converting.finish().status, 0);
}

TEST(Pcap, ExtcapCapturesWhatAForwarderServes) {
    if (access(tshark.c_str(), X_OK) != 0) GTEST_SKIP() << "no tshark here (Debian: tshark)";
    TempDir dir;
    std::vector<Record> records;
    records.reserve(200);
    for (int i = 0; i < 200; ++i) records.push_back({1000000LL + i, std::string(1 + i % 255, static_cast<char>(i))});
    write_file(dir / "in.log", log_of(records));

    Process server(replay, {"sfreplay", "-1", "0", dir / "in.log"});
    const std::string line = server.read_line();
    const std::string port = line.substr(line.rfind(':') + 1);
    const Command capture =
        tshark_with_extcap(dir, extcap,
                           {"-i", "serialforwarder", "-o", "extcap.serialforwarder.host:127.0.0.1", "-o",
                            "extcap.serialforwarder.port:" + port, "-T", "fields", "-e", "data"});
    const Outcome captured = run(capture.program, capture.args);
    EXPECT_EQ(captured.status, 0) << captured.err;
    const std::vector<std::string> lines = lines_of(captured.out);
    ASSERT_EQ(lines.size(), records.size()) << captured.err;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string hex = hex_of(records[i].bytes);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        ASSERT_EQ(lines[i], hex) << "packet " << i + 1;
    }
    EXPECT_EQ(server.finish().status, 0);

    const Command refused = tshark_with_extcap(
        dir, extcap, {"-i", "serialforwarder", "-o", "extcap.serialforwarder.port:" + std::to_string(closed_port())});
    const Outcome unreachable = run(refused.program, refused.args);
    EXPECT_NE(unreachable.err.find("Couldn't open serial forwarder at 127.0.0.1:"), std::string::npos)
        << unreachable.err;
}

TEST(Pcap, ExtcapDescribesItself) {
    struct Case {
        std::vector<std::string> args;
        std::string first_line;
    };
    const Case cases[] = {
        {{"--extcap-interfaces"}, "extcap {version=" SF_VERSION "}{help=man:sfextcap(1)}"},
        {{"--extcap-dlts", "--extcap-interface", "serialforwarder"},
         "dlt {number=147}{name=USER0}{display=Serial forwarder packets}"},
        {{"--extcap-config", "--extcap-interface", "serialforwarder"}, "arg {number=0}{call=--host}"},
        {{"--extcap-dlts", "--extcap-interface", "sfarchive"},
         "dlt {number=147}{name=USER0}{display=Serial forwarder packets}"},
        {{"--extcap-config", "--extcap-interface", "sfarchive"}, "arg {number=0}{call=--archive}"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"sfextcap"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome outcome = run(extcap, args);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind(c.first_line, 0), 0U) << outcome.out;
    }
    EXPECT_NE(run(extcap, {"sfextcap", "--extcap-interfaces"})
                  .out.find("{value=serialforwarder}{display=Serial "
                            "forwarder}"),
              std::string::npos);
    EXPECT_NE(run(extcap, {"sfextcap", "--extcap-interfaces"}).out.find("{value=sfarchive}"), std::string::npos);
    EXPECT_EQ(run(extcap, {"sfextcap", "--extcap-dlts", "--extcap-interface", "eth0"}).status, 2);
}

// "-", or no operand, names standard input and output.
TEST(Pcap, DashIsStandardInputOrOutput) {
    TempDir dir;
    const std::vector<Record> records = random_records(20);
    write_file(dir / "in.log", log_of(records));
    write_capture(dir / "in.pcap", records);
    struct Case {
        const char *name;
        std::string program;
        std::vector<std::string> args;
        std::string input;
        std::string output;  // empty: standard output
    };
    const Case cases[] = {
        {"log to pcap, - -", log2pcap, {"sflog2pcap", "-", "-"}, dir / "in.log", ""},
        {"log to pcap, - FILE", log2pcap, {"sflog2pcap", "-", dir / "out"}, dir / "in.log", dir / "out"},
        {"log to pcap, no operands", log2pcap, {"sflog2pcap"}, dir / "in.log", ""},
        {"pcap to log, - -", pcap2log, {"sfpcap2log", "-", "-"}, dir / "in.pcap", ""},
        {"pcap to log, - FILE", pcap2log, {"sfpcap2log", "-", dir / "out"}, dir / "in.pcap", dir / "out"},
        {"pcap to log, FILE -", pcap2log, {"sfpcap2log", dir / "in.pcap", "-"}, "/dev/null", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink((dir / "out").c_str());
        const Outcome outcome = run(c.program, c.args, stdin_from(c.input));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        if (c.output.empty()) write_file(dir / "out", outcome.out);
        if (c.program == log2pcap) {
            const std::vector<Record> got = read_capture(dir / "out");
            EXPECT_TRUE(std::equal(got.begin(), got.end(), records.begin(), records.end(),
                                   [](auto &a, auto &b) { return a.micros == b.micros && a.bytes == b.bytes; }));
        } else {
            EXPECT_EQ(read_file(dir / "out"), log_of(records));
        }
    }
}

}  // namespace
