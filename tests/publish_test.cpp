// The publisher under what gateways and brokers really do: a broker that
// restores an old save, logs truncated, files whose inode is reused at once,
// runs without a newline, stale acks, a stalled collector and a full disk.
// Each checks the central log byte for byte.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fleet_support.h"

namespace {

ino_t inode_of(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A retained ack older than the collector's place, restored by a broker from
// its last save, only makes the publisher send lines the collector drops.
TEST_F(Fleet, StaleAckFromARestoredBrokerDoublesNothing) {
    Broker broker(dir, "", true);
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    write_file(log, lines_from(0, 3000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3000)));
    ASSERT_TRUE(broker.save());
    append_file(log, lines_from(3000, 3000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 6000)));
    // Away while the broker comes back with its retained ack saying 3001, so that no fresh ack hides it.
    collecting->stop();
    broker.kill_hard();
    broker.start();
    const Outcome resent =
        run("/usr/bin/mosquitto_sub", {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-q",
                                       "1", "-t", "sflogger/gw1/packets", "-C", "1", "-W", "10"});
    EXPECT_EQ(resent.out.rfind("sflog1 ", 0), 0U) << "the publisher did not send again from the stale ack";
    append_file(log, lines_from(6000, 3000));
    collecting = start_collector(broker, central);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 9000)));
    publishing->stop();
    const Outcome published = publishing->finish();
    EXPECT_EQ(published.err.find("epoch"), std::string::npos) << published.err;
    collecting->stop();
}

// A run longer than a batch without a newline is no log line: named once and
// passed over, in the log and in a rotated file, and shipping goes on.
TEST_F(Fleet, RunWithoutNewlineIsPassedOver) {
    const std::string run(std::size_t{300} * 1024, 'x');
    struct Case {
        const char *name;
        bool rotated;
    };
    for (const Case &c : {Case{"in the log", false}, Case{"in a rotated file", true}}) {
        SCOPED_TRACE(c.name);
        const FleetDir here;
        const std::string &gateway = here.log;
        const std::string &archive = here.central;
        Broker broker(here.dir);
        auto collecting = start_collector(broker, archive);
        write_file(gateway, lines_from(0, 50));
        ASSERT_EQ(start_publisher(broker, gateway, true)->finish().status, 0);
        append_file(gateway, lines_from(50, 50) + run + "\n" + lines_from(100, 100));
        std::string file = gateway;
        if (c.rotated) {
            file = gateway + ".1";
            ASSERT_EQ(rename(gateway.c_str(), file.c_str()), 0);
            write_file(gateway, lines_from(200, 100));
        }
        const Outcome outcome = start_publisher(broker, gateway, true)->finish();
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err,
                  "sfpublish: " + file + ":101: no newline in 262144 bytes, longer than any log line; skipped\n");
        EXPECT_TRUE(wait_for_content(archive + "/gw1.log", lines_from(0, c.rotated ? 300 : 200)));
        collecting->stop();
    }
}

// A log truncated under the publisher (copytruncate, or emptied by hand) is
// said once and shipped from its start, whether it is written again to below
// or past the place reached.
TEST_F(Fleet, TruncatedLogIsShippedFromItsStart) {
    for (const int again : {10, 3000}) {
        SCOPED_TRACE(again);
        const FleetDir here;
        const std::string &gateway = here.log;
        const std::string &archive = here.central;
        Broker broker(here.dir);
        auto collecting = start_collector(broker, archive);
        auto publishing = start_publisher(broker, gateway);
        write_file(gateway, lines_from(0, 100));
        ASSERT_TRUE(wait_for_content(archive + "/gw1.log", lines_from(0, 100)));
        write_file(gateway, lines_from(100, again));  // truncates, then writes at once
        EXPECT_TRUE(wait_for_content(archive + "/gw1.log", lines_from(0, 100 + again)));
        publishing->stop();
        const Outcome outcome = publishing->finish();
        std::string said = "sfpublish: " + gateway;
        said += ": its start changed (truncated or written anew) after 100 lines were read; going on with ";
        said += gateway + "\n";
        EXPECT_EQ(outcome.err, said);
        collecting->stop();
    }
}

// Stopped while logrotate compressed its file away, and the new log got the
// same inode number: the new log is a new file, shipped from its start.
TEST_F(Fleet, NewLogWithAReusedInodeIsANewFile) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    ASSERT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    const ino_t old = inode_of(log);
    ASSERT_EQ(std::remove(log.c_str()), 0);
    // File systems hand a freed inode to the next file at once; a few tries find it.
    const std::string fresh = dir / "fresh";
    for (int tries = 0; tries < 2000 && inode_of(log) != old; ++tries) {
        write_file(fresh, lines_from(500, 50));
        ASSERT_EQ(rename(fresh.c_str(), log.c_str()), 0);
        if (inode_of(log) != old) std::remove(log.c_str());
    }
    if (inode_of(log) != old) GTEST_SKIP() << "this file system did not reuse the inode";
    const Outcome outcome = start_publisher(broker, log, true)->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "sfpublish: " + log +
                               ": the file it was on is gone, 100 of its lines read (line 101 of the epoch next); "
                               "going on with " +
                               log + "\n");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100) + lines_from(500, 50)));
    collecting->stop();
}

// Stale duplicates of an old ack and a collector stalled past the patience,
// under a steady stream: every line lands once, and few go out twice.
TEST_F(Fleet, StaleAcksAndAStalledCollectorDoNotFeedResends) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    // Every batch on the wire, counted from a file, so that the counter never lags behind.
    const std::string seen = dir / "wire";
    Process wire("/bin/sh", {"sh", "-c",
                             "exec mosquitto_sub -h 127.0.0.1 -p " + std::to_string(broker.port()) +
                                 " -q 1 -t sflogger/gw1/packets >" + seen});
    write_file(log, lines_from(0, 100));
    auto publishing = start_publisher(broker, log);
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    std::string stale;  // the collector's ack a second in, sent again later
    // 2,000 lines a second for 16 s: stale acks at 2 s, the collector stopped from 3 s to 9.5 s.
    const int total = 32000;
    for (int i = 0, step = 0; i < total; i += 20, ++step) {
        append_file(log, lines_from(100 + i, 20));
        if (step == 100)
            stale =
                run("/usr/bin/mosquitto_sub", {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                                               "-t", "sflogger/gw1/ack", "-C", "1", "-W", "5"})
                    .out;
        if (step == 200)
            for (int copy = 0; copy < 3; ++copy) publish_raw(broker.port(), "sflogger/gw1/ack", stale);
        if (step == 300) kill(collecting->pid(), SIGSTOP);
        if (step == 950) kill(collecting->pid(), SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100 + total)));
    publishing->stop();
    collecting->stop();
    kill(wire.pid(), SIGTERM);
    wire.finish();
    std::size_t sent = 0;
    for (const std::string &line : lines_of(read_file(seen)))
        if (line.rfind("sflog1 ", 0) != 0) ++sent;
    RecordProperty("lines_on_the_wire", static_cast<int>(sent));
    EXPECT_LE(sent, (100 + total) * 3 / 2) << sent << " lines on the wire for " << 100 + total;
}

// A full disk on the gateway: a new epoch waits until its state is durable,
// and a routine save that fails is said once while shipping goes on.
TEST_F(Fleet, FullDiskAtTheGatewayDelaysOnlyANewEpoch) {
    const std::string states = dir / "states";
    mkdir(states.c_str(), 0755);
    if (mount("tmpfs", states.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{states};
    const std::string filler = states + "/filler";
    const auto fill = [&] {
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        while (write(fd, block.data(), 1) > 0) {
        }
        close(fd);
    };
    fill();
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    const std::string state = states + "/gw1.sfpublish";
    Process publishing(publisher, {"sfpublish", "-b", broker.url(), "-s", state, "gw1", log});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(file_exists(central + "/gw1.log")) << "an epoch went out before it was on disk";
    std::remove(filler.c_str());
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    fill();
    // Routine saves come at most every 200 ms: the next ack's is due by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    append_file(log, lines_from(100, 2000));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2100)));
    std::remove(filler.c_str());
    append_file(log, lines_from(2100, 10));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2110)));
    publishing.stop();
    const Outcome outcome = publishing.finish();
    EXPECT_EQ(outcome.status, 0);
    const std::vector<std::string> said = lines_of(outcome.err);
    ASSERT_EQ(said.size(), 4U) << outcome.err;
    EXPECT_EQ(said[0], "sfpublish: " + state + ".new: write: No space left on device; retrying");
    EXPECT_EQ(said[1], "sfpublish: " + state + ": saved again");
    EXPECT_EQ(said[2], "sfpublish: " + state + ".new: write: No space left on device; retrying, shipping goes on");
    EXPECT_EQ(said[3], "sfpublish: " + state + ": saved again");
    collecting->stop();
}

// The log rotated twice while the broker is away (the file it was on now
// LOG.2, the next one LOG.1): each file is shipped whole, once. Truncated
// under copytruncate after lines were added: what the publisher read of those
// before it saw the broker gone may have gone out with the broker's loss or
// been sent again by the client library; the rest no longer exists.
TEST_F(Fleet, RotatedTwiceOrTruncatedWhileTheBrokerIsAwayLosesNothing) {
    for (const bool truncate : {false, true}) {
        SCOPED_TRACE(truncate ? "truncated" : "rotated twice");
        const FleetDir here;
        Broker broker(here.dir);
        auto collecting = start_collector(broker, here.central);
        auto publishing = start_publisher(broker, here.log);
        write_file(here.log, lines_from(0, 100));
        ASSERT_TRUE(wait_for_content(here.central + "/gw1.log", lines_from(0, 100)));
        broker.kill_hard();
        append_file(here.log, lines_from(100, 50));
        std::string expected = lines_from(0, 150);
        if (truncate) {
            write_file(here.log, lines_from(1000, 300));  // emptied, then more than before
            expected += lines_from(1000, 300);
        } else {
            ASSERT_EQ(rename(here.log.c_str(), (here.log + ".2").c_str()), 0);
            write_file(here.log + ".1", lines_from(200, 50));
            write_file(here.log, lines_from(300, 50));
            expected += lines_from(200, 50) + lines_from(300, 50);
        }
        broker.start();
        // Copies lost with the broker wait for the publisher's patience, which
        // doubles while the collector stays silent.
        std::vector<std::string> accepted{expected};
        if (truncate) {
            accepted.clear();
            for (int read = 0; read <= 50; ++read)
                accepted.push_back(lines_from(0, 100 + read) + lines_from(1000, 300));
        }
        const testing::AssertionResult arrived = wait_for_content(here.central + "/gw1.log", accepted, 6 * wait_ms);
        publishing->stop();
        collecting->stop();
        EXPECT_TRUE(arrived) << "sfpublish said:\n"
                             << publishing->finish().err << "sfcollect said:\n"
                             << collecting->finish().err;
    }
}

}  // namespace
