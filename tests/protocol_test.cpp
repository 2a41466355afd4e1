#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sfsource.h"
#include "support.h"

namespace {

// Reads one packet; "null" when read_sf_packet gave none, with len left alone.
std::string take_packet(int fd) {
    int len = -7;
    void *packet = read_sf_packet(fd, &len);
    if (packet == nullptr) return len == -7 ? "null" : "null, len touched";
    std::string payload(static_cast<char *>(packet), static_cast<std::size_t>(len));
    std::free(packet);
    return payload;
}

TEST(Handshake, VersionByteDecides) {
    for (int version = 0; version < 256; ++version) {
        Pair pair;
        send_all(pair.peer, bytes({0x55, version}));  // sent before the client's pair
        const int expected = version >= 0x20 && version <= 0x7F ? 0 : -1;
        EXPECT_EQ(init_sf_source(pair.client), expected) << "version " << version;
        EXPECT_EQ(read_some(pair.peer, 2), "U ");
    }
}

TEST(Handshake, RefusesBadReplies) {
    for (const std::string &reply : {std::string("T "), std::string("u "), bytes({0, 0x20}), bytes({0xD5, 0x20}),
                                     std::string("U"), std::string("")}) {
        Pair pair;
        send_all(pair.peer, reply);
        shutdown(pair.peer, SHUT_WR);
        EXPECT_EQ(init_sf_source(pair.client), -1) << "reply of " << reply.size() << " bytes";
        EXPECT_NE(fcntl(pair.client, F_GETFD), -1) << "the descriptor must stay open";
    }
}

TEST(Handshake, FramesBehindTheReplyAreKept) {
    Pair pair;
    send_all(pair.peer, "U " + frame("\xAA\xBB\xCC") + frame(""));
    ASSERT_EQ(init_sf_source(pair.client), 0);
    EXPECT_EQ(take_packet(pair.client), "\xAA\xBB\xCC");
    EXPECT_EQ(take_packet(pair.client), "");
}

TEST(Frames, ReadsWholeFrames) {
    const std::string cases[] = {"", "\xAA\xBB\xCC", all_bytes(255), std::string(1, '\0')};
    Pair pair;
    for (const std::string &payload : cases) send_all(pair.peer, frame(payload));
    shutdown(pair.peer, SHUT_WR);
    for (const std::string &payload : cases) EXPECT_EQ(take_packet(pair.client), payload);
    EXPECT_EQ(take_packet(pair.client), "null");
}

TEST(Frames, ShortFrameGivesNull) {
    for (const std::string &sent : {std::string(""), bytes({5}), bytes({5, 1, 2, 3, 4}), bytes({255, 9})}) {
        Pair pair;
        send_all(pair.peer, sent);
        shutdown(pair.peer, SHUT_WR);
        EXPECT_EQ(take_packet(pair.client), "null") << sent.size() << " bytes sent";
    }
}

TEST(Frames, WritesLengthThenPayload) {
    struct Case {
        std::string packet;
        int len;
        std::string wire;
    };
    const std::string long_one = all_bytes(255) + "tail";
    const Case cases[] = {
        {"", 0, bytes({0})},
        {"\xAA\xBB\xCC", 3, "\x03\xAA\xBB\xCC"},
        {long_one, 255, "\xFF" + all_bytes(255)},
        {long_one, 256 + 3, "\x03" + all_bytes(3)},  // only the low 8 bits of len count
    };
    for (const Case &c : cases) {
        Pair pair;
        EXPECT_EQ(write_sf_packet(pair.client, c.packet.data(), c.len), 0);
        shutdown(pair.client, SHUT_WR);
        EXPECT_EQ(read_some(pair.peer, 1024), c.wire) << "len " << c.len;
    }
    Pair pair;
    EXPECT_EQ(write_sf_packet(pair.client, nullptr, 0), 0);
}

TEST(Open, ConnectsAndReads) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        Forwarder forwarder([](int fd) {
            handshake(fd, "U!" + frame("hi"));
            send_all(fd, frame(""));
        });
        // Only the low 16 bits of the port are used.
        const int fd = open_sf_source(host.c_str(), forwarder.port() + 65536);
        ASSERT_GE(fd, 0) << host;
        EXPECT_EQ(take_packet(fd), "hi");
        EXPECT_EQ(take_packet(fd), "");
        EXPECT_EQ(take_packet(fd), "null");
        close(fd);
    }
}

TEST(Open, FailuresLeaveNothingOpen) {
    struct Case {
        const char *name;
        const char *host;
        std::string reply;  // the forwarder's; none when nothing listens
        bool listening;
    };
    const Case cases[] = {
        {"refused version", "127.0.0.1", "U\x1F", true},
        {"wrong marker", "127.0.0.1", "X ", true},
        {"one byte then close", "127.0.0.1", "U", true},
        {"nothing listening", "127.0.0.1", "", false},
        {"unknown host", "no-such-host.invalid", "", false},
        {"empty host", "", "", false},
        {"null host", nullptr, "", false},
    };
    for (const Case &c : cases) {
        const int before = count_open_fds();
        int result = 0;
        if (c.listening) {
            Forwarder forwarder([&](int fd) { handshake(fd, c.reply); });
            result = open_sf_source(c.host, forwarder.port());
            forwarder.join();
        } else {
            result = open_sf_source(c.host, closed_port());
        }
        EXPECT_LT(result, 0) << c.name;
        EXPECT_EQ(count_open_fds(), before) << c.name;
    }
}

}  // namespace
