// The fleet's metrics: the address option and /proc read by table, then both
// programs serving /metrics while a gateway ships, checked by value and by
// promtool.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"
#include "metrics.h"
#include "process_metrics.h"
#include "publish_rule.h"

namespace {

TEST(Metrics, AddressesAreAnIpv4AddressAndAPort) {
    struct Case {
        const char *text;
        std::string host;  // empty: not an address
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:9101", "127.0.0.1", 9101},
        {"0.0.0.0:0", "0.0.0.0", 0},
        {"127.0.0.1:65535", "127.0.0.1", 65535},
        {"127.0.0.1:65536", "", 0},
        {"localhost:9101", "", 0},
        {"9101", "", 0},
        {":9101", "", 0},
        {"127.0.0.1:", "", 0},
        {"127.0.0.1:91o1", "", 0},
        {"[::1]:9101", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        MetricsAddress address;
        EXPECT_EQ(parse_metrics_address(c.text, address), !c.host.empty());
        if (c.host.empty()) continue;
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
    }
}

TEST(Metrics, ProcessFiguresComeFromProcStat) {
    // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime
    // cstime priority nice threads itrealvalue starttime vsize rss ...
    const std::string tail = " 20 0 1 0 5000 1000000 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 17 1 0 0\n";
    struct Case {
        const char *what;
        std::string stat;
        bool good;
        ProcessFigures figures;
    };
    const Case cases[] = {
        {"a plain name",
         "42 (sfcollect) S 1 42 42 0 -1 4194560 100 0 0 0 250 50 0 0" + tail,
         true,
         {3.0, 300 * 4096.0, 1700000000 + 50.0}},
        {"a name with spaces and parentheses",
         "42 (a) b (c) S 1 42 42 0 -1 4194560 100 0 0 0 100 0 0 0" + tail,
         true,
         {1.0, 300 * 4096.0, 1700000000 + 50.0}},
        {"no name", "42 sfcollect S 1", false, {}},
        {"cut short", "42 (sfcollect) S 1 42 42 0 -1 4194560 100 0 0 0 250", false, {}},
        {"a field that is no number", "42 (sfcollect) S 1 42 42 0 -1 4194560 100 0 0 0 x 50 0 0" + tail, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ProcessFigures figures;
        EXPECT_EQ(read_process_stat(c.stat, 100, 4096, 1700000000, figures), c.good);
        if (!c.good) continue;
        EXPECT_DOUBLE_EQ(figures.cpu_seconds, c.figures.cpu_seconds);
        EXPECT_DOUBLE_EQ(figures.resident_bytes, c.figures.resident_bytes);
        EXPECT_DOUBLE_EQ(figures.start_time, c.figures.start_time);
    }
}

// Lines sent before in the epoch count as resent, the others as sent.
TEST(Metrics, ResentAreTheLinesSentBefore) {
    struct Case {
        const char *what;
        std::uint64_t first, count, high;
        SentLines split;
    };
    const Case cases[] = {
        {"the next lines", 11, 5, 11, {5, 0}},
        {"a resend of all", 3, 5, 11, {0, 5}},
        {"a resend running into new lines", 8, 5, 11, {2, 3}},
        {"after a gap", 20, 5, 11, {5, 0}},
        {"the first batch", 1, 5, 1, {5, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const SentLines split = split_sent(c.first, c.count, c.high);
        EXPECT_EQ(split.fresh, c.split.fresh);
        EXPECT_EQ(split.again, c.split.again);
    }
}

// A port that is taken is one line and status 1, before anything else.
TEST(FleetCommandLine, MetricsPortTakenIsStatusOne) {
    TempDir dir;
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr *>(&where), sizeof where), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t size = sizeof where;
    getsockname(taken, reinterpret_cast<sockaddr *>(&where), &size);
    const std::string address = "127.0.0.1:" + std::to_string(ntohs(where.sin_port));
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(closed_port());
    const std::string said = ": --metrics " + address + ": bind: Address already in use\n";
    for (const std::string program : {"sfpublish", "sfcollect"}) {
        SCOPED_TRACE(program);
        std::vector<std::string> args{program, "-b", url, "--metrics", address};
        if (program == "sfpublish")
            args.insert(args.end(), {"gw1", dir / "gw1.log"});
        else
            args.push_back(dir.path);
        const Outcome outcome = run(program == "sfpublish" ? publisher : collector, args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, program + said);
    }
    close(taken);
}

// Whether promtool finds nothing to say about the page's metrics.
void expect_promtool_quiet(const TempDir &dir, const std::string &response) {
    const std::size_t body = response.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    write_file(dir / "page", response.substr(body + 4));
    const Outcome checked = run("/usr/bin/promtool", {"promtool", "check", "metrics"}, stdin_from(dir / "page"));
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.out + checked.err, "");
}

// Both programs count what ships, where it happens; a client that connects
// and never asks holds up nothing; any other path is not found.
TEST_F(Fleet, MetricsCountWhatShips) {
    if (access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "no promtool (Debian: prometheus)";
    Broker broker(dir);
    Process collecting(collector,
                       {"sfcollect", "-b", broker.url(), "-i", "central", "--metrics", "127.0.0.1:0", central});
    const int collect_port = metrics_port(collecting);
    ASSERT_NE(collect_port, 0);
    const int silent = connect_loopback(collect_port);  // and never a word
    const std::string lines = lines_from(0, 60) + "1800000000.000060 zz \n" + lines_from(60, 40);
    write_file(log, lines);
    Process publishing(publisher, {"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", log});
    const int publish_port = metrics_port(publishing);
    ASSERT_NE(publish_port, 0);
    const std::string shipped = lines_from(0, 100);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", shipped));

    const std::string gateway = "{gateway=\"gw1\"}";
    wait_for_sample(publish_port, "sfpublish_lines_acked_total" + gateway, 100);
    // The backlog is measured once a second.
    const std::string published = wait_for_sample(publish_port, "sfpublish_backlog_bytes" + gateway, 0);
    struct Sample {
        const std::string *page;
        std::string series;
        double value;
    };
    const std::string collected = wait_for_sample(collect_port, "sfcollect_gateway_online" + gateway, 1);
    const Sample samples[] = {
        {&published, "sfpublish_lines_sent_total", 100},
        {&published, "sfpublish_lines_resent_total", 0},
        {&published, "sfpublish_lines_acked_total", 100},
        {&published, "sfpublish_lines_lost_total", 0},
        {&published, "sfpublish_malformed_lines_total", 1},
        {&published, "sfpublish_epochs_total", 1},
        {&published, "sfpublish_backlog_bytes", 0},
        {&published, "sfpublish_oldest_unacked_timestamp_seconds", 0},
        {&published, "sfpublish_broker_connected", 1},
        {&published, "sfpublish_broker_connects_total", 1},
        {&collected, "sfcollect_lines_total", 100},
        {&collected, "sfcollect_bytes_total", static_cast<double>(shipped.size())},
        {&collected, "sfcollect_duplicate_lines_total", 0},
        {&collected, "sfcollect_epochs_total", 1},
        {&collected, "sfcollect_lines_lost_total", 0},
        {&collected, "sfcollect_last_packet_timestamp_seconds", 1800000000.000099},
        {&collected, "sfcollect_gateway_online", 1},
    };
    for (const Sample &s : samples) {
        SCOPED_TRACE(s.series);
        const bool publishers = s.series.rfind("sfpublish_", 0) == 0;
        const std::string series =
            s.series + (publishers || s.series.find("broker") == std::string::npos ? gateway : "");
        EXPECT_DOUBLE_EQ(sample_of(*s.page, series), s.value);
    }
    EXPECT_EQ(sample_of(collected, "sfcollect_broker_connected"), 1);
    EXPECT_GE(sample_of(collected, "sfcollect_commit_duration_seconds_count"), 1);
    EXPECT_GT(sample_of(collected, "sfcollect_last_append_timestamp_seconds" + gateway), 1.7e9);
    EXPECT_GT(sample_of(published, "process_resident_memory_bytes"), 0);
    EXPECT_GT(sample_of(published, "process_open_fds"), 3);
    EXPECT_GT(sample_of(collected, "process_start_time_seconds"), 1.7e9);
    expect_promtool_quiet(dir, published);
    expect_promtool_quiet(dir, collected);
    EXPECT_EQ(http_get(collect_port, "/other").rfind("HTTP/1.1 404", 0), 0U);

    publishing.stop();
    EXPECT_EQ(sample_of(wait_for_sample(collect_port, "sfcollect_gateway_online" + gateway, 0),
                        "sfcollect_gateway_online" + gateway),
              0);
    close(silent);
    collecting.stop();
}

// Idle connections, as many as a careless client or a port scan leaves open,
// each hold one of the server's threads until its request times out: a scrape
// behind them still gets the page.
TEST_F(Fleet, MetricsAnswerAScrapeBehindIdleConnections) {
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(closed_port());
    Process collecting(collector, {"sfcollect", "-b", url, "--metrics", "127.0.0.1:0", central});
    const int port = metrics_port(collecting);
    ASSERT_NE(port, 0);
    std::vector<int> idle(80);
    for (int &fd : idle) fd = connect_loopback(port);
    const std::string page = http_get(port, "/metrics");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0U) << page;
    EXPECT_GT(sample_of(page, "process_start_time_seconds"), 1.7e9);
    for (const int fd : idle) close(fd);
    collecting.stop();
}

// With no collector, all of the log is the backlog, and its first line the oldest.
TEST_F(Fleet, BacklogIsTheLogWhileNoCollectorAnswers) {
    Broker broker(dir);
    const std::string lines = lines_from(0, 20);
    write_file(log, lines);
    Process publishing(publisher, {"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", log});
    const int port = metrics_port(publishing);
    ASSERT_NE(port, 0);
    const std::string gateway = "{gateway=\"gw1\"}";
    const std::string page =
        wait_for_sample(port, "sfpublish_backlog_bytes" + gateway, static_cast<double>(lines.size()));
    EXPECT_EQ(sample_of(page, "sfpublish_backlog_bytes" + gateway), static_cast<double>(lines.size()));
    EXPECT_EQ(sample_of(page, "sfpublish_oldest_unacked_timestamp_seconds" + gateway), 1800000000.0);
    EXPECT_EQ(sample_of(page, "sfpublish_lines_acked_total" + gateway), 0);
    publishing.stop();
}

}  // namespace
