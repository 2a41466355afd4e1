#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log_line.h"
#include "support.h"

namespace {

const std::string replay = SFREPLAY_PATH;
const std::string logger = SFLOGGER_PATH;
const std::string usage = "usage: sfreplay [-b ADDRESS] [-1] [-f | -l COUNT] [-t] [-x FACTOR] PORT FILE\n";

// The port from sfreplay's first line, "listening on 127.0.0.1:PORT"; 0 if none.
int listening_port(Process &server) {
    const std::string line = server.read_line();
    const std::string prefix = "listening on 127.0.0.1:";
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    return line.size() > prefix.size() ? std::stoi(line.substr(prefix.size())) : 0;
}

// Logs what the server on port serves; returns the byte part of each line.
std::vector<std::string> log_from(int port, const TempDir &dir, std::vector<double> *stamps = nullptr) {
    const std::string path = dir / "received.log";
    unlink(path.c_str());
    EXPECT_EQ(run(logger, {"sflogger", "127.0.0.1", std::to_string(port), path}).status, 0);
    std::vector<std::string> parts;
    for (const std::string &line : lines_of(read_file(path))) {
        const std::size_t space = line.find(' ');
        if (stamps != nullptr) stamps->push_back(std::stod(line.substr(0, space)));
        parts.push_back(line.substr(space + 1));
    }
    return parts;
}

std::vector<std::string> hex_parts(const std::vector<std::string> &payloads) {
    std::vector<std::string> parts(payloads.size());
    std::transform(payloads.begin(), payloads.end(), parts.begin(), hex_of);
    return parts;
}

TEST(Replay, RoundTripsRandomPackets) {
    std::mt19937 random(2026);
    std::vector<std::string> payloads = {"", all_bytes(255)};
    for (int i = 0; i < 300; ++i) {
        std::string payload(random() % 256, '\0');
        for (char &byte : payload) byte = static_cast<char>(random());
        payloads.push_back(payload);
    }
    payloads.push_back("");
    TempDir dir;
    write_file(dir / "in.log", log_of(payloads));
    Process server(replay, {"sfreplay", "-1", "0", dir / "in.log"});
    EXPECT_EQ(log_from(listening_port(server), dir), hex_parts(payloads));
    EXPECT_EQ(server.finish().status, 0);
}

TEST(Replay, AcceptsLogVariants) {
    struct Case {
        std::string text;
        std::vector<std::string> payloads;
    };
    const Case cases[] = {
        {"", {}},
        {"5.1 AB cd \n7.25 \n", {"\xAB\xCD", ""}},  // upper case, short fractions
        {"12.000001 ff 00 \n", {"\xFF" + std::string(1, '\0')}},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_file(dir / "in.log", c.text);
        Process server(replay, {"sfreplay", "-1", "0", dir / "in.log"});
        EXPECT_EQ(log_from(listening_port(server), dir), hex_parts(c.payloads)) << c.text;
        EXPECT_EQ(server.finish().status, 0);
    }
}

TEST(Replay, RejectsMalformedLogsByLine) {
    struct Case {
        std::string text;
        int line;
        std::string what;
    };
    const std::string good = "1.000000 aa \n";
    const std::string bad_byte = "expected a byte as two hex digits and a space";
    const std::string bad_stamp = "expected a timestamp: digits, a point, digits";
    const Case cases[] = {
        {good + "1.000000 0g \n", 2, bad_byte},
        {"1.000000 aa\n", 1, bad_byte},
        {"1.000000 aa  \n", 1, bad_byte},
        {good + good + "\n", 3, bad_stamp},
        {"x.5 \n", 1, bad_stamp},
        {"1. \n", 1, bad_stamp},
        {".5 \n", 1, bad_stamp},
        {"1.5\n", 1, "expected a space after the timestamp"},
        {"1.5 aa \r\n", 1, bad_byte},
        {"1.5 " + hex_of(all_bytes(255)) + "00 \n", 1, "more than 255 bytes"},
        {"1234567890123.5 \n", 1, "timestamp out of range"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_file(dir / "in.log", c.text);
        const Outcome outcome = run(replay, {"sfreplay", "0", dir / "in.log"});
        EXPECT_EQ(outcome.status, 2) << c.text;
        EXPECT_EQ(outcome.err, "sfreplay: " + dir / "in.log" + ":" + std::to_string(c.line) + ": " + c.what + "\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(Replay, CommandLineErrors) {
    TempDir dir;
    const std::string file = dir / "in.log";
    write_file(file, "1.0 aa \n");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{{},
                                                                                      {"0"},
                                                                                      {"-x", "0", file},
                                                                                      {"65536", file},
                                                                                      {"abc", file},
                                                                                      {"-5", file},
                                                                                      {"0", file, "extra"},
                                                                                      {"-b"}}) {
        std::vector<std::string> argv = {"sfreplay"};
        argv.insert(argv.end(), args.begin(), args.end());
        const Outcome outcome = run(replay, argv);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err, usage);
    }
    Forwarder occupying([](int) {});
    const std::vector<std::vector<std::string>> failing = {
        {"sfreplay", "0", dir / "missing.log"},
        {"sfreplay", "0", dir.path},
        {"sfreplay", "-b", "no-such-host.invalid", "0", file},
        {"sfreplay", std::to_string(occupying.port()), file},
    };
    for (const std::vector<std::string> &args : failing) {
        const Outcome outcome = run(replay, args);
        EXPECT_EQ(outcome.status, 1) << args[args.size() - 2];
        EXPECT_EQ(outcome.err.rfind("sfreplay: ", 0), 0U);
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
    const int fd = connect_loopback(occupying.port());  // lets the forwarder thread end
    close(fd);
}

TEST(Replay, BadClientsDoNotStopIt) {
    TempDir dir;
    const std::vector<std::string> payloads(3000, all_bytes(255));  // more than socket buffers hold
    write_file(dir / "in.log", log_of(payloads));
    for (const bool once : {true, false}) {
        Process server(replay, once ? std::vector<std::string>{"sfreplay", "-1", "0", dir / "in.log"}
                                    : std::vector<std::string>{"sfreplay", "0", dir / "in.log"});
        const int port = listening_port(server);
        int fd = connect_loopback(port);
        if (once) {
            send_all(fd, "X ");  // refused: a wrong marker
            EXPECT_EQ(read_some(fd, 16), "U ");
        } else {
            send_all(fd, "U ");  // accepted, then gone before the packets
            EXPECT_EQ(read_some(fd, 2), "U ");
        }
        close(fd);
        EXPECT_EQ(log_from(port, dir), hex_parts(payloads));
        if (once) {
            EXPECT_EQ(server.finish().status, 0);
        }
    }
}

TEST(Replay, PacesByTimestamps) {
    TempDir dir;
    write_file(dir / "in.log", log_of({"\x01", "\x02", "\x03"}, 0.15));
    Process server(replay, {"sfreplay", "-t", "-1", "0", dir / "in.log"});
    std::vector<double> stamps;
    EXPECT_EQ(log_from(listening_port(server), dir, &stamps).size(), 3U);
    ASSERT_EQ(stamps.size(), 3U);
    EXPECT_GE(stamps[1] - stamps[0], 0.14);
    EXPECT_GE(stamps[2] - stamps[0], 0.29);
    EXPECT_LT(stamps[2] - stamps[0], 5.0);
    EXPECT_EQ(server.finish().status, 0);
}

}  // namespace

namespace {

// A client that has done the handshake and reads only when told to.
int handshaken_client(int port) {
    const int fd = connect_loopback(port);
    send_all(fd, "U ");
    EXPECT_EQ(read_some(fd, 2), "U ");
    return fd;
}

std::string frames_of(const std::vector<std::string> &payloads) {
    std::string out;
    for (const std::string &payload : payloads) out += frame(payload);
    return out;
}

TEST(Replay, ServesEveryClientAtOnce) {
    TempDir dir;
    // More than the server's socket buffer and the stalled client's small window hold.
    const std::vector<std::string> payloads(20000, all_bytes(255));
    write_file(dir / "in.log", log_of(payloads));
    Process server(replay, {"sfreplay", "0", dir / "in.log"});
    const int port = listening_port(server);
    const int stalled = connect_loopback(port, 4096);
    ASSERT_GE(stalled, 0);
    send_all(stalled, "U ");                    // then reads nothing for now
    const int silent = connect_loopback(port);  // never sends its pair
    EXPECT_EQ(log_from(port, dir), hex_parts(payloads));
    EXPECT_EQ(log_from(port, dir), hex_parts(payloads));
    EXPECT_TRUE(read_some(stalled, 2 + 256 * 20000) == "U " + frames_of(payloads));  // its own pace, from the start
    close(stalled);
    close(silent);
}

std::string rss_anon(pid_t pid) {
    for (const std::string &line : lines_of(read_file("/proc/" + std::to_string(pid) + "/status")))
        if (line.rfind("RssAnon:", 0) == 0) return line;
    return "";
}

TEST(Replay, MemoryDoesNotGrowWithTheLog) {
    TempDir dir;
    std::string text;
    char line[max_log_line];
    unsigned char packet[28] = {};
    for (int i = 0; i < 300000; ++i) {  // about 31 MB
        packet[0] = static_cast<unsigned char>(i);
        text.append(line, format_log_line(line, timeval{1800000000 + i / 1000, i % 1000}, packet, 28));
    }
    write_file(dir / "in.log", text);
    text = std::string();
    Process server(replay, {"sfreplay", "0", dir / "in.log"});
    const int port = listening_port(server);
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(handshaken_client(port));
        EXPECT_EQ(read_some(clients.back(), 29), frame(std::string(28, '\0')));
    }
    const std::string rss = rss_anon(server.pid());
    ASSERT_FALSE(rss.empty());
    EXPECT_LT(std::stol(rss.substr(8)), 16 * 1024) << rss;  // in kB; the log alone is 31 MB
    for (int fd : clients) close(fd);
}

TEST(Replay, TornLastLineIsNotServed) {
    TempDir dir;
    write_file(dir / "in.log", "1.0 aa \n2.0 bb ");
    Process server(replay, {"sfreplay", "-1", "0", dir / "in.log"});
    EXPECT_EQ(log_from(listening_port(server), dir), hex_parts({"\xAA"}));
    const Outcome outcome = server.finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "sfreplay: " + dir / "in.log" + ":2: last line has no newline, not served\n");
}

TEST(Replay, ServesFromTheLogWhereNoFramesFileCanBeWritten) {
    TempDir dir;
    const std::vector<std::string> payloads = {"\x01", "", all_bytes(255)};
    write_file(dir / "in.log", log_of(payloads));
    for (const char *count : {"1", "2"}) {
        Process server("/usr/bin/env",
                       {"env", "TMPDIR=" + dir / "missing", replay, "-1", "-l", count, "0", dir / "in.log"});
        const std::vector<std::string> once = hex_parts(payloads);
        std::vector<std::string> expected = once;
        if (count[0] == '2') expected.insert(expected.end(), once.begin(), once.end());
        EXPECT_EQ(log_from(listening_port(server), dir), expected);
        EXPECT_EQ(server.finish().status, 0);
    }
}

TEST(Replay, ServesTheLogCountTimes) {
    TempDir dir;
    const std::vector<std::string> payloads = {"\x01", "", "\x02\x03"};
    write_file(dir / "in.log", log_of(payloads));
    for (const char *count : {"1", "3"}) {
        SCOPED_TRACE(count);
        Process server(replay, {"sfreplay", "-1", "-l", count, "0", dir / "in.log"});
        std::vector<std::string> expected;
        for (int i = 0; i < std::stoi(count); ++i) expected.insert(expected.end(), payloads.begin(), payloads.end());
        EXPECT_EQ(log_from(listening_port(server), dir), hex_parts(expected));
        EXPECT_EQ(server.finish().status, 0);
    }
    Process server(replay, {"sfreplay", "-l", "0", "0", dir / "in.log"});  // without end
    const int fd = handshaken_client(listening_port(server));
    std::string many;
    for (int i = 0; i < 1000; ++i) many += frames_of(payloads);
    EXPECT_TRUE(read_some(fd, many.size()) == many);
    close(fd);
}

TEST(Replay, PacesAtAFactorWithoutOverflow) {
    TempDir dir;
    write_file(dir / "slow.log", log_of({"\x01", "\x02", "\x03"}, 0.1));
    Process slow(replay, {"sfreplay", "-x", "0.5", "-1", "0", dir / "slow.log"});
    std::vector<double> stamps;
    EXPECT_EQ(log_from(listening_port(slow), dir, &stamps).size(), 3U);
    ASSERT_EQ(stamps.size(), 3U);
    EXPECT_GE(stamps[2] - stamps[0], 0.39);  // half speed: 0.2 s recorded
    EXPECT_EQ(slow.finish().status, 0);

    // Years apart: the first frame goes at once, and the wait for the second
    // neither overflows nor holds up the next client.
    write_file(dir / "far.log", "0.0 01 \n999999999999.0 02 \n");
    Process far(replay, {"sfreplay", "-t", "0", dir / "far.log"});
    const int port = listening_port(far);
    for (int i = 0; i < 2; ++i) {
        const int fd = handshaken_client(port);
        EXPECT_EQ(read_some(fd, 2), frame("\x01"));
        close(fd);
    }
    write_file(dir / "back.log", "999999999999.0 01 \n0.5 02 \n");  // a step backwards goes at once
    Process back(replay, {"sfreplay", "-t", "-1", "0", dir / "back.log"});
    EXPECT_EQ(log_from(listening_port(back), dir), hex_parts({"\x01", "\x02"}));
    EXPECT_EQ(back.finish().status, 0);
}

// The log served with pacing, cut short or written over while a client is
// being served: one line, status 1.
TEST(Replay, LogChangedWhileServedEndsWithOneLine) {
    const std::string line = log_line({1000000000, "\x01"});
    struct Case {
        const char *name;
        std::function<void(const std::string &path)> change;
        const char *message;
    };
    const Case cases[] = {
        {"cut short", [](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), 100), 0); },
         ": cut short while being served\n"},
        {"written over",
         [&](const std::string &path) {
             const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_GE(fd, 0);
             const std::string garbage(line.size(), 'z');  // line 1001 and its newline
             ASSERT_EQ(pwrite(fd, garbage.data(), garbage.size(), static_cast<off_t>(1000 * line.size())),
                       static_cast<ssize_t>(garbage.size()));
             close(fd);
         },
         ": changed while being served\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "in.log", log_of(std::vector<std::string>(2000, "\x01"), 0.001));  // two seconds, paced
        Process server(replay, {"sfreplay", "-t", "0", dir / "in.log"});
        const int fd = handshaken_client(listening_port(server));
        EXPECT_EQ(read_some(fd, 2), frame("\x01"));
        c.change(dir / "in.log");
        read_some(fd, 4000);  // to the end, whenever it comes
        close(fd);
        const Outcome outcome = server.finish();
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, "sfreplay: " + dir / "in.log" + c.message);
    }
}

TEST(Replay, HelpAndVersionGoToStandardOutput) {
    for (const char *flag : {"-h", "--help"}) {
        const Outcome outcome = run(replay, {"sfreplay", flag});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind(usage, 0), 0U) << flag;
        EXPECT_EQ(outcome.err, "");
    }
    for (const char *flag : {"-V", "--version"}) {
        const Outcome outcome = run(replay, {"sfreplay", flag});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "sfreplay " SF_VERSION "\n") << flag;
    }
    for (const char *bad : {"0", "-1", "abc", "1x"}) {
        const Outcome outcome = run(replay, {"sfreplay", "-x", bad, "0", "in.log"});
        EXPECT_EQ(outcome.status, 2) << bad;
        EXPECT_EQ(outcome.err, usage);
    }
}

// A reader with a small window that stops reading for a while, on a socket
// whose send buffer the test makes small: the server's sends come up short,
// and the rest of each frame must go out before the next.
TEST(Replay, StalledReaderGetsEveryByteOfParsedFrames) {
    TempDir dir;
    const std::vector<std::string> payloads = long_payloads(4000);  // a megabyte
    write_file(dir / "in.log", log_of(payloads, 0.0));              // all due at once
    struct Case {
        const char *name;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"paced", {"env", replay, "-1", "-t", "0", dir / "in.log"}},
        {"no frames file", {"env", "TMPDIR=" + dir / "missing", replay, "-1", "0", dir / "in.log"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Process server("/usr/bin/env", c.args);
        const int fd = connect_loopback(listening_port(server), 4096);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(read_some(fd, 2), "U ");  // sent once accepted
        sockaddr_in local{};
        socklen_t size = sizeof local;
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size), 0);
        const int theirs = take_socket(server.pid(), ntohs(local.sin_port));
        if (theirs < 0) GTEST_SKIP() << "cannot take the server's socket here: " << std::strerror(errno);
        const int room = 4096;
        ASSERT_EQ(setsockopt(theirs, SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
        close(theirs);
        send_all(fd, "U ");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // lets the server fill both buffers
        EXPECT_TRUE(read_some(fd, 256 * payloads.size()) == frames_of(payloads));
        close(fd);
        EXPECT_EQ(server.finish().status, 0);
    }
}

// Bytes a client sent that the server never read must not turn its close into
// a reset, which would throw away frames still on their way.
TEST(Replay, ClosesCleanlyOverUnreadClientBytes) {
    TempDir dir;
    const std::vector<std::string> payloads = long_payloads(100);
    write_file(dir / "in.log", log_of(payloads));
    Process server(replay, {"sfreplay", "-1", "0", dir / "in.log"});
    const int fd = connect_loopback(listening_port(server));
    ASSERT_GE(fd, 0);
    send_all(fd, "U " + std::string(100, 'x'));  // the server reads the pair alone, then serves
    std::string got;
    ssize_t n = 0;
    char chunk[4096];
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) got.append(chunk, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0) << "the connection ended with " << std::strerror(errno);
    EXPECT_TRUE(got == "U " + frames_of(payloads));
    close(fd);
    EXPECT_EQ(server.finish().status, 0);
}

}  // namespace
