// The pcapng writer against the real tshark and capinfos.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pcapng_writer.h"
#include "support.h"

namespace {

const std::string tshark = "/usr/bin/tshark";

// Interfaces join before, between and after packets; tshark shows each
// packet on its own interface with its exact time and bytes.
TEST(PcapngWriter, InterfacesJoinAtAnyPoint) {
    if (access(tshark.c_str(), X_OK) != 0) GTEST_SKIP() << "no tshark here (Debian: tshark)";
    TempDir dir;
    const int fd = open((dir / "out.pcapng").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    {
        PcapngWriter writer(fd, "test");
        EXPECT_EQ(writer.add_interface("gw-a", 147), 0U);
        const std::string long_packet = all_bytes(255);
        writer.write_packet(0, 1800000000123456, reinterpret_cast<const unsigned char *>(long_packet.data()), 255);
        EXPECT_EQ(writer.add_interface("a name of some length, odd", 195), 1U);
        writer.write_packet(1, 5000000000000001, nullptr, 0);  // beyond 2106: the high word is used
        writer.write_packet(0, 1, reinterpret_cast<const unsigned char *>("\x01\x02\x03"), 3);
        EXPECT_EQ(writer.add_interface("c", 147), 2U);
        EXPECT_TRUE(writer.flush()) << writer.error();
    }
    close(fd);
    const Outcome shown = run(tshark, {"tshark", "-r", dir / "out.pcapng", "-T", "fields", "-e", "frame.interface_name",
                                       "-e", "frame.time_epoch", "-e", "frame.len", "-e", "data"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    std::string hex = hex_of(all_bytes(255));
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    EXPECT_EQ(shown.out, "gw-a\t1800000000.123456000\t255\t" + hex +
                             "\n"
                             "a name of some length, odd\t5000000000.000001000\t0\t\n"
                             "gw-a\t0.000001000\t3\t010203\n");
    const Outcome info = run("/usr/bin/capinfos", {"capinfos", "-I", dir / "out.pcapng"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Number of interfaces in file: 3"), std::string::npos) << info.out;
}

TEST(PcapngWriter, AFailedWriteIsReported) {
    const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    PcapngWriter writer(fd, "test");
    writer.add_interface("x", 147);
    EXPECT_FALSE(writer.flush());
    EXPECT_EQ(writer.error(), "No space left on device");
    writer.write_packet(0, 1, nullptr, 0);
    EXPECT_FALSE(writer.flush());
    close(fd);
}

}  // namespace
