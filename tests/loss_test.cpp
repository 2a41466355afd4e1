// Acks that only the broker remembers, collectors restored from a backup,
// publishers whose state rolled back, and lines truly gone: real sfpublish
// and sfcollect through a mosquitto of the test's own. Nothing starts on an
// old ack, what falls back is said, and every line lost is counted on both
// sides.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "fleet_support.h"

namespace {

const std::string gateway = "{gateway=\"gw1\"}";

// The folder put back to the copy taken before, as a restore from a backup does.
void copy_folder(const std::string &from, const std::string &to) {
    std::filesystem::remove_all(to);
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}

// A broker restored from an old save hands over, twice, a retained ack of
// lines that are gone from the gateway, while nothing is in flight: it starts
// nothing, and nothing is shipped twice.
TEST_F(Fleet, OldAckOfLinesGoneStartsNothing) {
    Broker broker(dir, "", true);
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    write_file(log, lines_from(0, 500));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 500)));
    ASSERT_TRUE(broker.save());  // its retained ack: 501
    append_file(log, lines_from(500, 500));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, lines_from(1000, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1100)));
    ASSERT_EQ(std::remove((log + ".1").c_str()), 0);  // lines 1 to 1,000 gone from the gateway
    publishing->stop();
    publishing = start_publisher(broker, log);
    for (int restore = 0; restore < 2; ++restore) {
        broker.kill_hard();
        broker.start();
        // Longer than the publisher's first patience, between the two.
        std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    }
    append_file(log, lines_from(1100, 10));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1110)));
    publishing->stop();
    // Its place may have been at the end of LOG.1, which it then says is gone: not a loss.
    const std::string gone = "sfpublish: " + log + ": the file it was on is gone, 1000 of its lines read";
    for (const std::string &line : lines_of(publishing->finish().err))
        EXPECT_TRUE(line.rfind("sfpublish: cannot reach broker ", 0) == 0 || line.rfind("sfpublish: broker ", 0) == 0 ||
                    line.rfind(gone, 0) == 0)
            << line;
    collecting->stop();
    std::size_t epochs = 0;
    for (const std::string &line : lines_of(collecting->finish().err))
        if (line.find("epoch") != std::string::npos) ++epochs;
    EXPECT_EQ(epochs, 1U);
}

// A collector put back to its backup (archive and journal) answers with a
// lower ack: sfpublish says so once and sends the rest again.
TEST_F(Fleet, CollectorRestoredFromABackupIsSaidOnceAndGetsTheRest) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    write_file(log, lines_from(0, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    collecting->stop();
    copy_folder(central, dir / "backup");
    collecting = start_collector(broker, central);
    append_file(log, lines_from(1000, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2000)));
    collecting->stop();
    copy_folder(dir / "backup", central);
    collecting = start_collector(broker, central);
    append_file(log, lines_from(2000, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2100)));
    publishing->stop();
    EXPECT_EQ(publishing->finish().err,
              "sfpublish: the collector's ack fell back from 2,001 to 1,001 (restored from a backup?); sending again "
              "from 1,001\n");
    collecting->stop();
}

// A collector put back to a backup older than what the gateway still holds:
// the lines in between are lost, said and counted by both.
TEST_F(Fleet, LinesTrulyLostAreCountedOnBothSides) {
    Broker broker(dir);
    int collect_port = 0;
    std::unique_ptr<Process> collecting;
    const auto start_collecting = [&] {
        collecting = std::make_unique<Process>(
            collector, std::vector<std::string>{"sfcollect", "-b", broker.url(), "-i", "central", "--metrics",
                                                "127.0.0.1:0", central});
        collect_port = metrics_port(*collecting);
    };
    int publish_port = 0;
    std::unique_ptr<Process> publishing;
    const auto start_publishing = [&] {
        publishing = std::make_unique<Process>(
            publisher,
            std::vector<std::string>{"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", log});
        publish_port = metrics_port(*publishing);
    };
    start_collecting();
    start_publishing();
    write_file(log, lines_from(0, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    collecting->stop();
    copy_folder(central, dir / "backup");
    start_collecting();
    append_file(log, lines_from(1000, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2000)));
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, lines_from(2000, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2100)));
    wait_for_sample(publish_port, "sfpublish_lines_acked_total" + gateway, 2100);  // its place is in the log
    ASSERT_EQ(std::remove((log + ".1").c_str()), 0);  // lines 1 to 2,000 gone from the gateway
    publishing->stop();
    EXPECT_EQ(publishing->finish().err, "");
    start_publishing();  // which had the file open
    ASSERT_NE(publish_port, 0);
    collecting->stop();
    copy_folder(dir / "backup", central);
    start_collecting();
    ASSERT_NE(collect_port, 0);
    append_file(log, lines_from(2100, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(2000, 200)));
    const std::string published = wait_for_sample(publish_port, "sfpublish_lines_lost_total" + gateway, 1000);
    EXPECT_EQ(sample_of(published, "sfpublish_lines_lost_total" + gateway), 1000);
    const std::string collected = wait_for_sample(collect_port, "sfcollect_lines_lost_total" + gateway, 1000);
    EXPECT_EQ(sample_of(collected, "sfcollect_lines_lost_total" + gateway), 1000);
    publishing->stop();
    const std::vector<std::string> said = lines_of(publishing->finish().err);
    ASSERT_EQ(said.size(), 2U);
    const std::string start = "sfpublish: lines 1,001 to 2,000 of epoch ";
    ASSERT_EQ(said[0].rfind(start, 0), 0U) << said[0];
    const std::string old = said[0].substr(start.size(), 16);
    const std::string lost = "lines 1,001 to 2,000 of epoch " + old + " are gone from the gateway: 1,000 lines lost";
    EXPECT_EQ(said[0], "sfpublish: " + lost);
    const std::string starting =
        "sfpublish: the collector has epoch " + old + " only before line 1,001; starting epoch ";
    ASSERT_EQ(said[1].rfind(starting, 0), 0U) << said[1];
    const std::string fresh = said[1].substr(starting.size(), 16);
    EXPECT_EQ(said[1], starting + fresh + " at line 2,001");
    collecting->stop();
    EXPECT_EQ(collecting->finish().err, "sfcollect: gw1: new epoch " + fresh + "; " + lost + "\n");
}

// The gateway's state and log put back to an older copy (a VM snapshot)
// after sfpublish had started another epoch: the collector, which left the
// old one, tells it so, and the lines written since go out in a new epoch.
TEST_F(Fleet, RolledBackStateStartsANewEpochLosingNothing) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    ASSERT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    const std::string state = log + ".sfpublish";
    const std::string snapshot_log = read_file(log);
    const std::string snapshot_state = read_file(state);
    // Another epoch: a log written anew goes on in the same one, a first start does not.
    write_file(log, lines_from(1000, 50));
    ASSERT_EQ(unlink(state.c_str()), 0);
    ASSERT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100) + lines_from(1000, 50)));
    write_file(log, snapshot_log);
    write_file(state, snapshot_state);
    append_file(log, lines_from(2000, 50));
    auto publishing = start_publisher(broker, log);
    EXPECT_TRUE(
        wait_for_content(central + "/gw1.log", lines_from(0, 100) + lines_from(1000, 50) + lines_from(2000, 50)));
    publishing->stop();
    const std::vector<std::string> said = lines_of(publishing->finish().err);
    ASSERT_EQ(said.size(), 1U);
    const std::string start = "sfpublish: the collector has left epoch ";
    const std::string middle =
        " for another (this gateway's state rolled back? another gateway publishing as gw1?); starting epoch ";
    ASSERT_EQ(said[0].size(), start.size() + 16 + middle.size() + 16 + 12) << said[0];
    EXPECT_EQ(said[0].rfind(start, 0), 0U) << said[0];
    EXPECT_EQ(said[0].compare(start.size() + 16, middle.size(), middle), 0) << said[0];
    EXPECT_EQ(said[0].substr(said[0].size() - 12), " at line 101") << said[0];
    collecting->stop();
}

}  // namespace
