#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string logger = SFLOGGER_PATH;
const std::string usage_tail = " <host> <port> <file>- dump packets from a serial forwarder to the file\n";

double now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Checks that log holds exactly one line per payload, in order, stamped
// between from and to, in the form "SECONDS.MICROS xx xx \n".
void expect_log(const std::string &log, const std::vector<std::string> &payloads, double from, double to) {
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
    const std::vector<std::string> lines = lines_of(log);
    ASSERT_EQ(lines.size(), payloads.size()) << log;
    double previous = from;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t point = lines[i].find('.');
        const std::size_t space = lines[i].find(' ');
        ASSERT_TRUE(point != std::string::npos && point > 0 && space == point + 7) << lines[i];
        const std::string stamp = lines[i].substr(0, space);
        ASSERT_EQ(stamp.find_first_not_of("0123456789", point + 1), std::string::npos) << lines[i];
        ASSERT_EQ(stamp.find_first_not_of("0123456789"), point) << lines[i];
        EXPECT_EQ(lines[i].substr(space + 1), hex_of(payloads[i]));
        const double when = std::stod(stamp);
        EXPECT_GE(when, previous);
        EXPECT_LE(when, to);
        previous = when;
    }
}

TEST(Logger, WrongArgumentCountPrintsUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"sflogger"}, {"./mylogger", "127.0.0.1", "1"}, {"name", "127.0.0.1", "1", "f", "extra"}};
    for (const auto &args : cases) {
        const Outcome outcome = run(logger, args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err, "Usage: " + args[0] + usage_tail);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(Logger, LogsEveryPacketExactly) {
    TempDir dir;
    const std::vector<std::string> payloads = {"", "\x01\xAB\xFF", all_bytes(255), std::string(1, '\0')};
    Forwarder forwarder = serving(payloads);
    const double from = now();
    const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), dir / "log"});
    const double to = now();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "");
    expect_log(read_file(dir / "log"), payloads, from - 1e-6, to);
    struct stat info {};
    ASSERT_EQ(stat((dir / "log").c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(Logger, PortConvertsLikeAtoi) {
    for (const auto &form : {"%d", " \t+%d", "%dx", "%d 80", "1000000000000000000000000%05d"}) {
        TempDir dir;
        Forwarder forwarder = serving({"\x2A"});
        char port[64];
        std::snprintf(port, sizeof port, form, forwarder.port());
        const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", port, dir / "log"});
        EXPECT_EQ(outcome.status, 0) << port;
        EXPECT_EQ(lines_of(read_file(dir / "log")).size(), 1U) << port;
    }
    for (int wrapped : {65536, -65536}) {
        TempDir dir;
        Forwarder forwarder = serving({"\x2A"});
        const int port = wrapped < 0 ? -(65536 - forwarder.port()) : forwarder.port() + wrapped;
        const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(port), dir / "log"});
        EXPECT_EQ(outcome.status, 0) << port;
    }
}

TEST(Logger, ConnectionFailureIsStatusOne) {
    TempDir dir;
    const std::string port = std::to_string(closed_port());
    struct Case {
        std::string host, port;
    };
    for (const Case &c : {Case{"127.0.0.1", "abc"}, Case{"127.0.0.1", port}, Case{"no-such-host.invalid", port},
                          Case{"127.0.0.1", port + "junk"}}) {
        const Outcome outcome = run(logger, {"sflogger", c.host, c.port, dir / "log"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, "Couldn't open serial forwarder at " + c.host + ":" + c.port + "\n");
        EXPECT_EQ(outcome.out, "");
    }
    Forwarder refusing([](int fd) { handshake(fd, "U\x80"); });
    const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(refusing.port()), dir / "log"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_FALSE(file_exists(dir / "log"));
}

TEST(Logger, StreamEndsWithoutPacketsCreatesNoFile) {
    TempDir dir;
    for (const std::string &tail : {std::string(""), bytes({4, 1, 2})}) {  // nothing, or a frame cut short
        Forwarder forwarder([&](int fd) {
            handshake(fd);
            send_all(fd, tail);
        });
        const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), dir / "log"});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_FALSE(file_exists(dir / "log"));
    }
}

TEST(Logger, AppendsBehindExistingLines) {
    TempDir dir;
    const std::string earlier = "1.000000 aa \nnot even a log line\n";
    write_file(dir / "log", earlier);
    Forwarder forwarder([](int fd) {
        handshake(fd);
        send_all(fd, frame("\x10") + frame("\x20") + bytes({9, 1}));  // the last frame is cut short
    });
    const double from = now();
    const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), dir / "log"});
    EXPECT_EQ(outcome.status, 0);
    const std::string log = read_file(dir / "log");
    ASSERT_EQ(log.compare(0, earlier.size(), earlier), 0);
    expect_log(log.substr(earlier.size()), {"\x10", "\x20"}, from, now());
}

TEST(Logger, FollowsThePathBetweenPackets) {
    for (const bool moved : {false, true}) {
        TempDir dir;
        const std::string log = dir / "log";
        Forwarder forwarder([&](int fd) {
            handshake(fd);
            send_all(fd, frame("\x01"));
            ASSERT_TRUE(wait_for_lines(log, 1));
            if (moved)
                ASSERT_EQ(rename(log.c_str(), (dir / "log.1").c_str()), 0);
            else
                ASSERT_EQ(unlink(log.c_str()), 0);
            send_all(fd, frame("\x02\x03"));
        });
        const double from = now();
        const Outcome outcome = run(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), log});
        forwarder.join();
        EXPECT_EQ(outcome.status, 0);
        expect_log(read_file(log), {"\x02\x03"}, from, now());
        if (moved) expect_log(read_file(dir / "log.1"), {"\x01"}, from, now());
    }
}

TEST(Logger, UnwritableLogIsStatusThree) {
    TempDir dir;
    mkdir((dir / "sub").c_str(), 0755);
    write_file(dir / "write-only", "");
    chmod((dir / "write-only").c_str(), 0200);
    write_file(dir / "file", "");
    const std::string cases[] = {dir / "sub", dir / "missing/log", dir / "file/log", dir / "write-only", "/dev/full"};
    for (const std::string &path : cases) {
        Forwarder forwarder = serving({"\x01", "\x02", "\x03"});
        const Outcome outcome =
            run(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), path}, drop_file_privileges);
        if (outcome.status == 125) GTEST_SKIP() << "cannot drop root's file privileges here";
        EXPECT_EQ(outcome.status, 3) << path;
        EXPECT_EQ(outcome.err, "Couldn't write to log file " + path + "\n");
        EXPECT_EQ(outcome.out, "");
    }
    EXPECT_EQ(read_file(dir / "write-only"), "");
}

// A forwarder whose host vanishes is noticed by keepalive: 60 s idle, then
// six probes 10 s apart.
TEST(Logger, KeepsItsConnectionAlive) {
    TempDir dir;
    std::atomic<bool> checked{false};
    Forwarder forwarder([&](int fd) {
        handshake(fd);
        send_all(fd, frame("\x01"));
        for (int waited = 0; !checked && waited < wait_ms; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    Process running(logger, {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), dir / "log"});
    ASSERT_TRUE(wait_for_lines(dir / "log", 1));  // keepalive is set before the first packet is read
    const int fd = take_socket(running.pid(), forwarder.port());
    checked = true;
    if (fd < 0) GTEST_SKIP() << "cannot take the logger's socket here: " << std::strerror(errno);
    int on = 0;
    int idle = 0;
    int interval = 0;
    int count = 0;
    socklen_t size = sizeof on;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size), 0);
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size), 0);
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size), 0);
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &size), 0);
    close(fd);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 60);
    EXPECT_EQ(interval, 10);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(running.finish().status, 0);
}

}  // namespace
