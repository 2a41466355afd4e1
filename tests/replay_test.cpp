#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string replay = SFREPLAY_PATH;
const std::string logger = SFLOGGER_PATH;
const std::string usage = "usage: sfreplay [-b ADDRESS] [-1] [-t] [-x FACTOR] [-l COUNT] PORT FILE\n";

std::string log_of(const std::vector<std::string> &payloads, double step = 1.0) {
    std::string text;
    char stamp[32];
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        std::snprintf(stamp, sizeof stamp, "%.6f ", 1000.0 + step * static_cast<double>(i));
        text += stamp + hex_of(payloads[i]) + "\n";
    }
    return text;
}

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
