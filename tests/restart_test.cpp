// sfpublish restarted after lines went out past the acknowledged place it
// saved, killed or stopped cleanly, its file then rotated away (rotate 0):
// no number goes to two lines, every line the gateway holds arrives once,
// and only lines truly gone are counted as lost, on both sides.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"

namespace {

const std::string gateway = "{gateway=\"gw1\"}";

struct Served {
    std::unique_ptr<Process> process;
    int port = 0;  // of its metrics
};

Served serve_publisher(const Broker &broker, const std::string &log) {
    Served served;
    served.process = std::make_unique<Process>(
        publisher, std::vector<std::string>{"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", log});
    served.port = metrics_port(*served.process);
    return served;
}

Served serve_collector(const Broker &broker, const std::string &central) {
    Served served;
    served.process =
        std::make_unique<Process>(collector, std::vector<std::string>{"sfcollect", "-b", broker.url(), "-i", "central",
                                                                      "--metrics", "127.0.0.1:0", central});
    served.port = metrics_port(*served.process);
    return served;
}

// The acknowledged line the state file at path names; 0 when there is none.
std::uint64_t saved_ack(const std::string &path) {
    const std::string text = read_file(path);
    const std::size_t space = text.find(' ');
    return space == std::string::npos ? 0 : std::strtoull(text.c_str() + space + 1, nullptr, 10);
}

bool wait_for_saved_ack(const std::string &path, std::uint64_t ack) {
    for (int waited = 0; waited < wait_ms; waited += 10) {
        if (saved_ack(path) == ack) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether the state file at path comes to say that the numbers before given were handed out.
bool wait_for_given(const std::string &path, std::uint64_t given) {
    const std::string numbers = "\nnumbers " + std::to_string(given) + " ";
    for (int waited = 0; waited < wait_ms; waited += 10) {
        if (read_file(path).find(numbers) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether the state file at path comes to hold text.
bool wait_for_state(const std::string &path, const std::string &text) {
    for (int waited = 0; waited < wait_ms; waited += 10) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Restart : public Fleet {
protected:
    // 1,000 lines shipped, then 500 more sent while the collector is away,
    // queued for it in the broker.
    void send_while_the_collector_is_away() {
        collecting = serve_collector(broker, central);
        publishing = serve_publisher(broker, log);
        ASSERT_NE(publishing.port, 0);
        write_file(log, lines_from(0, 1000));
        ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
        collecting.process->stop();
        append_file(log, lines_from(1000, 500));
        wait_for_sample(publishing.port, "sfpublish_lines_sent_total" + gateway, 1500);
    }

    // Those 1,500 lines sent, and sfpublish stopped cleanly, or killed once
    // its state has them as handed out; then the log deleted (rotate 0) and
    // 100 new lines written. A broker that loses its queue loses the 500 with it.
    void send_past_the_collector(bool lose_queue, bool kill_it = false) {
        send_while_the_collector_is_away();
        if (HasFatalFailure()) return;
        if (kill_it) {
            ASSERT_TRUE(wait_for_given(log + ".sfpublish", 1501));
            kill(publishing.process->pid(), SIGKILL);
        } else {
            publishing.process->stop();
        }
        EXPECT_EQ(publishing.process->finish().err, "");
        if (lose_queue) {
            broker.kill_hard();  // without persistence: lines 1,001 to 1,500 are now only in the log
            broker.start();
        }
        ASSERT_EQ(std::remove(log.c_str()), 0);
        write_file(log, lines_from(2000, 100));
    }

    // sfpublish waiting at the gap send_past_the_collector(false) left, the
    // collector started: it takes the 500 lines queued for it and answers,
    // so every line arrives once, nothing is lost, and sfpublish says only
    // the file gone and the new epoch after the gap.
    void collect_all_queued() {
        collecting = serve_collector(broker, central);
        ASSERT_NE(collecting.port, 0);
        EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1500) + lines_from(2000, 100)));
        EXPECT_EQ(sample_of(http_get(publishing.port, "/metrics"), "sfpublish_lines_lost_total" + gateway), 0);
        EXPECT_EQ(sample_of(http_get(collecting.port, "/metrics"), "sfcollect_lines_lost_total" + gateway), 0);
        publishing.process->stop();
        const std::vector<std::string> said = lines_of(publishing.process->finish().err);
        ASSERT_EQ(said.size(), 2U);
        EXPECT_EQ(said[0].rfind("sfpublish: " + log + ": the file it was on is gone, ", 0), 0U) << said[0];
        EXPECT_TRUE(says_new_epoch(said[1])) << said[1];
        collecting.process->stop();
    }

    Broker broker{dir};
    Served collecting;
    Served publishing;
};

// Killed while the collector held 900 lines past the acknowledged place on
// disk (the state a power cut leaves), the log then deleted and written anew:
// the new lines take no number the collector holds, and nothing is counted lost.
TEST_F(Fleet, KilledPastItsSavedAckGivesNoNumberTwice) {
    Broker broker(dir);
    Served collecting = serve_collector(broker, central);
    Served publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    const std::string state = log + ".sfpublish";
    write_file(log, lines_from(0, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    ASSERT_TRUE(wait_for_saved_ack(state, 101));
    const std::string saved = read_file(state);
    append_file(log, lines_from(100, 900));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    kill(publishing.process->pid(), SIGKILL);
    publishing.process->finish();
    write_file(state, saved);                // the acknowledged place saved last: line 101
    ASSERT_EQ(std::remove(log.c_str()), 0);  // rotate 0
    write_file(log, lines_from(2000, 100));
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(2000, 100)));
    EXPECT_EQ(sample_of(http_get(publishing.port, "/metrics"), "sfpublish_lines_lost_total" + gateway), 0);
    EXPECT_EQ(sample_of(http_get(collecting.port, "/metrics"), "sfcollect_lines_lost_total" + gateway), 0);
    publishing.process->stop();
    const std::vector<std::string> said = lines_of(publishing.process->finish().err);
    ASSERT_EQ(said.size(), 3U);
    EXPECT_EQ(said[0].rfind("sfpublish: " + log + ": the file it was on is gone, ", 0), 0U) << said[0];
    // Reserved numbers it cannot account for are said, not counted.
    EXPECT_NE(said[1].find(" may have been read before sfpublish stopped uncleanly, and the gateway no longer "
                           "holds them: at most "),
              std::string::npos)
        << said[1];
    EXPECT_NE(said[1].find(" lines lost, not counted"), std::string::npos) << said[1];
    EXPECT_TRUE(says_new_epoch(said[2])) << said[2];
    collecting.process->stop();
    const std::vector<std::string> collected = lines_of(collecting.process->finish().err);
    EXPECT_EQ(collected.size(), 2U);  // the first epoch and the new one
    for (const std::string &line : collected) EXPECT_EQ(line.find("lost"), std::string::npos) << line;
}

// Killed with every line it read acknowledged, restarted, and its log then
// rotated: the numbers it had reserved past the log's end were never given,
// the log being whole, so the new log's lines take them in the same epoch,
// with nothing said.
TEST_F(Fleet, KilledThenRotatedGoesOnInItsEpoch) {
    Broker broker(dir);
    Served collecting = serve_collector(broker, central);
    Served publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    write_file(log, lines_from(0, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    ASSERT_TRUE(wait_for_given(log + ".sfpublish", 1001));
    kill(publishing.process->pid(), SIGKILL);
    publishing.process->finish();
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, lines_from(2000, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(2000, 100)));
    EXPECT_EQ(sample_of(http_get(publishing.port, "/metrics"), "sfpublish_epochs_total" + gateway), 0);
    publishing.process->stop();
    EXPECT_EQ(publishing.process->finish().err, "");
    collecting.process->stop();
    const std::vector<std::string> told = lines_of(collecting.process->finish().err);
    EXPECT_EQ(told.size(), 1U);  // the first epoch only
}

// Stopped cleanly, or killed, with 500 lines sent that the collector never
// got (its broker lost them), the log then deleted and written anew: those
// 500 are lost, said and counted on both sides, the new lines all arrive.
// Killed, the numbers it had reserved past them are said too, not counted:
// whether they went out with lines, nobody knows.
class RestartPastItsAck : public Restart, public testing::WithParamInterface<bool> {};

TEST_P(RestartPastItsAck, CountsTheLinesTrulyGone) {
    const bool killed = GetParam();
    send_past_the_collector(true, killed);
    collecting = serve_collector(broker, central);
    ASSERT_NE(collecting.port, 0);
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(2000, 100)));
    const std::string published = wait_for_sample(publishing.port, "sfpublish_lines_lost_total" + gateway, 500);
    EXPECT_EQ(sample_of(published, "sfpublish_lines_lost_total" + gateway), 500);
    const std::string collected = wait_for_sample(collecting.port, "sfcollect_lines_lost_total" + gateway, 500);
    EXPECT_EQ(sample_of(collected, "sfcollect_lines_lost_total" + gateway), 500);
    publishing.process->stop();
    const std::vector<std::string> said = lines_of(publishing.process->finish().err);
    ASSERT_EQ(said.size(), killed ? 4U : 3U);
    const std::string start = "sfpublish: lines 1,001 to 1,500 of epoch ";
    ASSERT_EQ(said[1].rfind(start, 0), 0U) << said[1];
    const std::string old = said[1].substr(start.size(), 16);
    const std::string lost = "lines 1,001 to 1,500 of epoch " + old + " are gone from the gateway: 500 lines lost";
    EXPECT_EQ(said[1], "sfpublish: " + lost);
    if (killed) {
        // Up to the reservation, which depends on how the first lines were batched.
        EXPECT_EQ(said[2].rfind("sfpublish: lines 1,501 to ", 0), 0U) << said[2];
        EXPECT_NE(said[2].find(" of epoch " + old +
                               " may have been read before sfpublish stopped uncleanly, and the gateway no longer "
                               "holds them: at most "),
                  std::string::npos)
            << said[2];
    }
    EXPECT_TRUE(says_new_epoch(said.back())) << said.back();
    collecting.process->stop();
    const std::vector<std::string> told = lines_of(collecting.process->finish().err);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_NE(told[0].find("; " + lost), std::string::npos) << told[0];
}

INSTANTIATE_TEST_SUITE_P(StopKinds, RestartPastItsAck, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "Killed" : "Stopped"; });

// Stopped cleanly while the collector was away, the 500 lines it sent last
// still queued for it in the broker, and the log then deleted and written
// anew: the acknowledgement it knows is old, so nothing is said lost until
// the collector answers, and it has them all.
TEST_F(Restart, GapIsDecidedOnTheCollectorsAnswerOnly) {
    send_past_the_collector(false);
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    // Time to decide wrongly on the acknowledgement the broker kept.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    collect_all_queued();
}

// The same, with the acks of a collector that echoes questions coming
// meanwhile, alike (answers to batches a run before left queued at the
// broker, sent here by hand): they answer no question, so nothing is decided
// on them, and the collector's answer, once it comes, finds every line there.
TEST_F(Restart, StaleAcksAnswerNoQuestion) {
    send_past_the_collector(false);
    const std::string epoch = read_file(log + ".sfpublish").substr(0, 16);
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    for (int sent = 0; sent < 30; ++sent) {
        const std::string echo = sent % 3 == 2 ? "00000000000000ff" : "";  // or another run's question
        publish_raw(broker.port(), "sflogger/gw1/ack", epoch + " 1001", "", false, {{"answers", echo}});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(sample_of(http_get(publishing.port, "/metrics"), "sfpublish_lines_lost_total" + gateway), 0);
    collect_all_queued();
}

// The lines lost said, counted and a new epoch saved, then killed before
// the collector heard of them, with the broker losing the batch that told
// them: the next run tells them, and counts them no second time.
TEST_F(Restart, LossNotYetToldSurvivesAKill) {
    const std::string state = log + ".sfpublish";
    send_past_the_collector(true);
    const std::string epoch = read_file(state).substr(0, 16);
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    // The collector's answer to its question, and then no collector.
    for (int waited = 0; waited < wait_ms; waited += 100) {
        publish_raw(broker.port(), "sflogger/gw1/ack", epoch + " 1001");
        if (sample_of(http_get(publishing.port, "/metrics"), "sfpublish_lines_lost_total" + gateway) == 500) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    wait_for_sample(publishing.port, "sfpublish_lines_sent_total" + gateway, 100);
    EXPECT_NE(read_file(state).substr(0, 16), epoch);
    kill(publishing.process->pid(), SIGKILL);
    const std::vector<std::string> said = lines_of(publishing.process->finish().err);
    ASSERT_EQ(said.size(), 3U);
    const std::string lost = "lines 1,001 to 1,500 of epoch " + epoch + " are gone from the gateway: 500 lines lost";
    EXPECT_EQ(said[1], "sfpublish: " + lost);
    broker.kill_hard();  // and the batch that told them
    broker.start();
    collecting = serve_collector(broker, central);
    ASSERT_NE(collecting.port, 0);
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(2000, 100)));
    const std::string collected = wait_for_sample(collecting.port, "sfcollect_lines_lost_total" + gateway, 500);
    EXPECT_EQ(sample_of(collected, "sfcollect_lines_lost_total" + gateway), 500);
    EXPECT_EQ(sample_of(http_get(publishing.port, "/metrics"), "sfpublish_lines_lost_total" + gateway), 0);
    publishing.process->stop();
    EXPECT_EQ(publishing.process->finish().err, "");
    collecting.process->stop();
    const std::vector<std::string> told = lines_of(collecting.process->finish().err);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_NE(told[0].find("; " + lost), std::string::npos) << told[0];
}

// 1,500 lines sent, the last 500 queued for a collector that is away, the
// log cut short in place to 1,200 lines (truncate -s) and written on, and
// sfpublish restarted once its state holds the cut: the restart stops at
// the cut too, and the new lines go out in a new epoch, none dropped as a
// copy of the lines cut off. One row per way to stop.
struct StopCase {
    const char *name;
    int signal;
};

void PrintTo(const StopCase &row, std::ostream *out) { *out << row.name; }

class CutRestart : public Restart, public testing::WithParamInterface<StopCase> {};

TEST_P(CutRestart, ShipsTheNewLinesOnce) {
    const std::string state = log + ".sfpublish";
    ASSERT_NO_FATAL_FAILURE(send_while_the_collector_is_away());
    ASSERT_EQ(truncate(log.c_str(), static_cast<off_t>(lines_from(0, 1200).size())), 0);
    ASSERT_TRUE(wait_for_state(state, "\ncut ")) << read_file(state);
    append_file(log, lines_from(5000, 100));
    kill(publishing.process->pid(), GetParam().signal);
    publishing.process->finish();
    publishing = serve_publisher(broker, log);
    ASSERT_NE(publishing.port, 0);
    collecting = serve_collector(broker, central);
    ASSERT_NE(collecting.port, 0);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1500) + lines_from(5000, 100)));
    EXPECT_EQ(sample_of(http_get(collecting.port, "/metrics"), "sfcollect_lines_lost_total" + gateway), 0);
    EXPECT_EQ(read_file(state).find("\ncut "), std::string::npos) << read_file(state);
    publishing.process->stop();
    collecting.process->stop();
}

INSTANTIATE_TEST_SUITE_P(Fleet, CutRestart, testing::Values(StopCase{"stopped", SIGTERM}, StopCase{"killed", SIGKILL}),
                         [](const testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

}  // namespace
