// The fleet end to end: real sfpublish and sfcollect processes through a real
// mosquitto on a free loopback port, with the gateway's log and the central
// log byte for byte the same as the oracle.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"

namespace {

TEST_F(Fleet, ShipsLiveLinesAcrossRotation) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    const std::string before = lines_from(0, 1000);
    write_file(log, before + "1.0 zz \n");  // a malformed line is named and skipped
    auto publishing = start_publisher(broker, log);
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", before));
    std::string expected = before;
    for (int round = 1; round <= 3; ++round) {
        const std::string first = lines_from(round * 1000, 500);
        const std::string second = lines_from(round * 1000 + 500, 500);
        append_file(log, first + "1800000000.1");  // a line without its newline waits
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        append_file(log, "00000 01 \n" + second);
        expected += first;
        expected += "1800000000.100000 01 \n";
        expected += second;
        ASSERT_TRUE(wait_for_content(central + "/gw1.log", expected)) << "round " << round;
        // logrotate's way: the log moved away, a line still lands in it, then a new log.
        ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
        const std::string late = lines_from(round * 1000 + 900000, 3);
        append_file(log + ".1", late);
        append_file(log, lines_from(round * 1000 + 800000, 2));
        expected += late + lines_from(round * 1000 + 800000, 2);
        ASSERT_TRUE(wait_for_content(central + "/gw1.log", expected)) << "round " << round;
    }
    publishing->stop();
    const Outcome published = publishing->finish();
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(published.err, "sfpublish: " + log + ":1001: expected a byte as two hex digits and a space, skipped\n");
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
}

// Every process killed at random moments, again and again: nothing lost, nothing twice.
TEST_F(Fleet, KillsOfAnyProcessLoseAndDoubleNothing) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    std::mt19937 random(14);
    std::string expected;
    for (int round = 0; round < 12; ++round) {
        const std::string more = lines_from(round * 3000, 3000);
        append_file(log, more);
        expected += more;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
        switch (random() % 3) {
            case 0:
                broker.kill_hard();
                broker.start();
                break;
            case 1:
                kill(publishing->pid(), SIGKILL);
                publishing->finish();
                publishing = start_publisher(broker, log);
                break;
            default:
                kill(collecting->pid(), SIGKILL);
                collecting->finish();
                collecting = start_collector(broker, central);
                break;
        }
    }
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", expected, 6 * wait_ms));
    publishing->stop();
    collecting->stop();
}

TEST_F(Fleet, StoppedDuringRotationFinishesTheOldFileFirst) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    append_file(log, lines_from(100, 100) + "1.5 ab");  // shipped later; the torn line never
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, lines_from(200, 100));
    const Outcome outcome = start_publisher(broker, log, true)->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "sfpublish: " + log + ".1:201: last line has no newline, skipped\n");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 300)));
    collecting->stop();
}

TEST_F(Fleet, FileGoneWhileStoppedIsSaidAndTheLogFollows) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    append_file(log, lines_from(100, 50));  // never shipped: rotated, then deleted (rotate 0)
    ASSERT_EQ(std::remove(log.c_str()), 0);
    write_file(log, lines_from(200, 100));
    const Outcome outcome = start_publisher(broker, log, true)->finish();
    EXPECT_EQ(outcome.status, 0);
    // Never numbered, those 50 lines are no loss of the epoch's: the next file goes on from line 101.
    EXPECT_EQ(outcome.err, "sfpublish: " + log +
                               ": the file it was on is gone, 100 of its lines read (line 101 of the epoch next); "
                               "going on with " +
                               log + "\n");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100) + lines_from(200, 100)));
    collecting->stop();
}

TEST(FleetCommandLine, ErrorsAreStatusTwo) {
    const std::string publish_usage =
        "usage: sfpublish [-b URL] [-t PREFIX] [-u USER] [--cafile FILE] [--cert FILE --key FILE]\n"
        "                 [--metrics ADDRESS:PORT] [--olddir DIR] [-s FILE] [-e] NAME LOG\n";
    const std::string collect_usage =
        "usage: sfcollect [-b URL] [-t PREFIX] [-u USER] [--cafile FILE] [--cert FILE --key FILE]\n"
        "                 [--metrics ADDRESS:PORT] [-i ID] DIR\n";
    const std::string no_metrics = " (ADDRESS:PORT, ADDRESS an IPv4 address)\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"sfpublish"}, publish_usage},
        {{"sfpublish", "gw1"}, publish_usage},
        {{"sfpublish", "gw/1", "log"},
         "sfpublish: not a gateway name: gw/1 (1 to 64 letters, digits, '.', '_', '-')\n" + publish_usage},
        {{"sfpublish", ".", "log"},
         "sfpublish: not a gateway name: . ('.' and '..' name folders; 1 to 64 letters, digits, '.', '_', '-')\n" +
             publish_usage},
        {{"sfpublish", "..", "log"},
         "sfpublish: not a gateway name: .. ('.' and '..' name folders; 1 to 64 letters, digits, '.', '_', '-')\n" +
             publish_usage},
        {{"sfpublish", std::string(65, 'g'), "log"},
         "sfpublish: not a gateway name: " + std::string(65, 'g') + " (1 to 64 letters, digits, '.', '_', '-')\n" +
             publish_usage},
        {{"sfpublish", "-b", "tcp://h", "gw1", "log"},
         "sfpublish: not a broker: tcp://h (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])\n" + publish_usage},
        {{"sfpublish", "-t", "a/#", "gw1", "log"}, "sfpublish: not a topic prefix: a/#\n" + publish_usage},
        {{"sfpublish", "--cert", "c.pem", "gw1", "log"}, "sfpublish: --cert and --key go together\n" + publish_usage},
        {{"sfpublish", "-x", "gw1", "log"}, publish_usage},
        {{"sfpublish", "gw1", "log", "--olddir"}, publish_usage},
        {{"sfpublish", "--olddir", "", "gw1", "log"}, publish_usage},
        {{"sfcollect", "--olddir", "old", "dir"}, collect_usage},
        {{"sfcollect"}, collect_usage},
        {{"sfcollect", "a", "b"}, collect_usage},
        {{"sfpublish", "--metrics", "9100", "gw1", "log"},
         "sfpublish: not a metrics address: 9100" + no_metrics + publish_usage},
        {{"sfpublish", "--metrics", "localhost:9100", "gw1", "log"},
         "sfpublish: not a metrics address: localhost:9100" + no_metrics + publish_usage},
        {{"sfcollect", "--metrics", "127.0.0.1:65536", "dir"},
         "sfcollect: not a metrics address: 127.0.0.1:65536" + no_metrics + collect_usage},
        {{"sfcollect", "--metrics", "127.0.0.1:", "dir"},
         "sfcollect: not a metrics address: 127.0.0.1:" + no_metrics + collect_usage},
        {{"sfcollect", "-b", "mqtt://h:0", "dir"},
         "sfcollect: not a broker: mqtt://h:0 (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])\n" + collect_usage},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
        const Outcome outcome = run(c.args[0] == "sfpublish" ? publisher : collector, c.args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.out, "");
    }
    for (const std::string &program : {publisher, collector}) {
        const Outcome version = run(program, {"x", "-V"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, (program == publisher ? "sfpublish " : "sfcollect ") + std::string(SF_VERSION "\n"));
        const Outcome help = run(program, {"x", "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: ", 0), 0U);
    }
}

TEST_F(Fleet, BrokerAbsentAtStartIsWaitedFor) {
    write_file(log, lines_from(0, 10));
    Broker broker(dir);
    broker.kill_hard();
    auto publishing = start_publisher(broker, log, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    broker.start();
    auto collecting = start_collector(broker, central);
    const Outcome outcome = publishing->finish();
    EXPECT_EQ(outcome.status, 0);
    const std::vector<std::string> said = lines_of(outcome.err);
    ASSERT_EQ(said.size(), 2U) << outcome.err;
    EXPECT_EQ(said[0], "sfpublish: cannot reach broker 127.0.0.1:" + std::to_string(broker.port()) +
                           ": Connection refused; retrying");
    EXPECT_EQ(said[1], "sfpublish: broker 127.0.0.1:" + std::to_string(broker.port()) + " is back");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 10)));
    collecting->stop();
}

TEST_F(Fleet, PayloadsBreakingTheContractAreNamedAndDropped) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
    const std::string header = "sflog1 0123456789abcdef 1\n";
    struct Case {
        std::string topic, payload, what;
    };
    const Case cases[] = {
        {"sflogger/gw1/packets", lines_from(0, 2), "no \"sflog1 EPOCH SEQ\" header"},
        {"sflogger/gw1/packets", header + "1.0 zz \n", "expected a byte as two hex digits and a space"},
        {"sflogger/gw1/packets", header + lines_from(0, 1) + "1.0 aa ", "last line has no newline"},
        {"sflogger/gw1/packets", header, "no lines"},
        {"sflogger/gw 1/packets", header + lines_from(0, 1), "not a gateway's packets topic"},
        {"sflogger/gw1/packets", header + std::string(std::size_t{256} * 1024, 'x'), "payload larger than 256 KiB"},
    };
    std::string expected_err;
    for (const Case &c : cases) {
        publish_raw(broker.port(), c.topic, c.payload);
        expected_err += "sfcollect: " + c.topic + ": " + c.what + ", dropped\n";
    }
    publish_raw(broker.port(), "sflogger/gw1/packets", header + lines_from(0, 3));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3)));
    collecting->stop();
    const Outcome outcome = collecting->finish();
    EXPECT_EQ(outcome.err, expected_err + "sfcollect: gw1: new epoch 0123456789abcdef\n");
}

TEST_F(Fleet, ClientsStopCleanlyAndSayOffline) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 5));
    auto publishing = start_publisher(broker, log);
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 5)));
    for (const int sig : {SIGTERM, SIGINT}) {
        auto &process = sig == SIGTERM ? publishing : collecting;
        kill(process->pid(), sig);
        const Outcome outcome = process->finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(lines_of(outcome.err).size(), sig == SIGTERM ? 0U : 1U) << outcome.err;  // the collector's new epoch
    }
    const Outcome status = run("/usr/bin/mosquitto_sub", {"mosquitto_sub", "-p", std::to_string(broker.port()), "-h",
                                                          "127.0.0.1", "-t", "sflogger/gw1/+", "-v", "-W", "1"});
    const std::vector<std::string> retained = lines_of(status.out);
    EXPECT_NE(std::find(retained.begin(), retained.end(), "sflogger/gw1/status offline"), retained.end()) << status.out;
}

// A collector that lost what it knew of a gateway answers its next batch
// with "EPOCH 1": the publisher says its ack fell back and sends the epoch
// again from its first line while its files hold it, and starts a new
// epoch, counting the lines lost, once they do not.
TEST_F(Fleet, CollectorThatLostItsRecordGetsWhatTheGatewayStillHolds) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    const auto lose_record = [&] {
        collecting->stop();
        std::filesystem::remove_all(central);
        mkdir(central.c_str(), 0755);
        collecting = start_collector(broker, central);
    };
    lose_record();
    append_file(log, lines_from(100, 100));
    Outcome outcome = start_publisher(broker, log, true)->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(
        outcome.err,
        "sfpublish: the collector's ack fell back from 101 to 1 (restored from a backup?); sending again from 1\n");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 200)));
    // Rotated, and later compressed away: lines 1 to 200 are gone from the gateway.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, lines_from(200, 50));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    ASSERT_EQ(std::remove((log + ".1").c_str()), 0);
    lose_record();
    append_file(log, lines_from(250, 50));
    outcome = start_publisher(broker, log, true)->finish();
    EXPECT_EQ(outcome.status, 0);
    const std::vector<std::string> said = lines_of(outcome.err);
    ASSERT_EQ(said.size(), 2U) << outcome.err;
    EXPECT_EQ(said[0].rfind("sfpublish: lines 1 to 200 of epoch ", 0), 0U) << said[0];
    EXPECT_NE(said[0].find(" are gone from the gateway: 200 lines lost"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find(" only before line 1; starting epoch "), std::string::npos) << said[1];
    EXPECT_NE(said[1].find(" at line 201"), std::string::npos) << said[1];
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(200, 100)));
    collecting->stop();
}

// What a collector killed between its write and its commit left is cut off
// as soon as it is back, before any batch comes.
TEST_F(Fleet, UnacknowledgedTailIsCutAtStart) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    collecting->stop();
    append_file(central + "/gw1.log", lines_from(100, 10));
    collecting = start_collector(broker, central);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    append_file(log, lines_from(100, 20));
    EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 120)));
    collecting->stop();
}

TEST_F(Fleet, FullDiskStopsTheCollectorWithWholeLines) {
    if (mount("tmpfs", central.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    Broker broker(dir);
    const std::string first = lines_from(0, 1500);  // 42 kB
    const std::string all = first + lines_from(1500, 3500);
    write_file(log, first);
    auto publishing = start_publisher(broker, log);
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", first));
    append_file(log, all.substr(first.size()));  // more than the disk has room for
    const Outcome outcome = collecting->finish();
    EXPECT_EQ(outcome.status, 3);
    EXPECT_NE(outcome.err.find("sfcollect: " + central + "/gw1.log: write: No space left on device"), std::string::npos)
        << outcome.err;
    const std::string kept = read_file(central + "/gw1.log");
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), '\n') << "a torn line";
    EXPECT_EQ(all.compare(0, kept.size(), kept), 0) << "not whole lines from the start";
    ASSERT_EQ(mount("tmpfs", central.c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
    collecting = start_collector(broker, central);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", all));
    collecting->stop();
    publishing->stop();
    umount(central.c_str());
}

// A CA and a broker certificate for 127.0.0.1 signed by it, made with openssl.
void make_certificates(const TempDir &dir, const std::string &name) {
    const std::string ca = dir / (name + "-ca");
    ASSERT_EQ(run("/usr/bin/openssl", {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                       "-subj", "/CN=" + name + " CA", "-keyout", ca + ".key", "-out", ca + ".pem"})
                  .status,
              0);
    write_file(dir / "san", "subjectAltName=IP:127.0.0.1\n");
    const std::string broker = dir / (name + "-broker");
    ASSERT_EQ(run("/usr/bin/openssl", {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                                       "-keyout", broker + ".key", "-out", broker + ".csr"})
                  .status,
              0);
    ASSERT_EQ(run("/usr/bin/openssl",
                  {"openssl", "x509", "-req", "-in", broker + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                   "-CAcreateserial", "-days", "2", "-extfile", dir / "san", "-out", broker + ".pem"})
                  .status,
              0);
}

TEST_F(Fleet, TlsWithTheRightCaOnly) {
    make_certificates(dir, "fleet");
    make_certificates(dir, "other");
    if (HasFatalFailure()) return;
    Broker broker(dir, "cafile " + dir / "fleet-ca.pem" + "\ncertfile " + dir / "fleet-broker.pem" + "\nkeyfile " +
                           dir / "fleet-broker.key" + "\n");
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port());
    Process collecting(collector, {"sfcollect", "-b", url, "--cafile", dir / "fleet-ca.pem", central});
    write_file(log, lines_from(0, 50));
    const Outcome shipped =
        run(publisher, {"sfpublish", "-e", "-b", url, "--cafile", dir / "fleet-ca.pem", "gw1", log});
    EXPECT_EQ(shipped.status, 0) << shipped.err;
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 50)));
    const Outcome refused = run(
        publisher, {"sfpublish", "-e", "-b", url, "--cafile", dir / "other-ca.pem", "-s", dir / "state", "gw1", log});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "sfpublish: broker 127.0.0.1:" + std::to_string(broker.port()) +
                               ": TLS handshake failed: its certificate does not verify against the CA, or it "
                               "refused ours\n");
    collecting.stop();
}

// The shipped ACL: gw1 publishes only under its own name, and only the
// collector reads the packets.
TEST_F(Fleet, AclKeepsEachGatewayToItsOwnTopics) {
    Broker broker(dir, shipped_acl(dir, {"collector", "gw1", "gw2"}));
    Process collecting("/usr/bin/env", {"env", "SF_MQTT_PASSWORD=collector-secret", collector, "-b", broker.url(), "-u",
                                        "collector", central});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
    const std::string header = "sflog1 0123456789abcdef 1\n";
    publish_raw(broker.port(), "sflogger/gw2/packets", header + lines_from(0, 1), "gw1");  // not its own
    publish_raw(broker.port(), "sflogger/gw1/packets", header + lines_from(1, 1), "gw1");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(1, 1)));
    EXPECT_FALSE(file_exists(central + "/gw2.log"));  // the broker took gw1's message for gw2 first, and dropped it
    // gw1 reads neither the packets nor gw2's ack, and a wrong password gets nowhere.
    publish_raw(broker.port(), "sflogger/gw2/packets", header + lines_from(2, 1), "gw2");
    ASSERT_TRUE(wait_for_content(central + "/gw2.log", lines_from(2, 1)));
    const Outcome read = run("/usr/bin/mosquitto_sub",
                             {"mosquitto_sub", "-p", std::to_string(broker.port()), "-h", "127.0.0.1", "-u", "gw1",
                              "-P", "gw1-secret", "-t", "sflogger/gw2/ack", "-t", "sflogger/gw1/ack", "-v", "-W", "1"});
    EXPECT_EQ(read.out, "sflogger/gw1/ack 0123456789abcdef 2\n");
    const Outcome wrong = run("/usr/bin/env", {"env", "SF_MQTT_PASSWORD=wrong", publisher, "-b", broker.url(), "-u",
                                               "gw1", "-s", dir / "state", "gw1", dir / "gw1.log"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err,
              "sfpublish: broker refused the connection: not authorised as gw1 (password from "
              "SF_MQTT_PASSWORD)\n");
    collecting.stop();
}

// A broker that refuses the credentials ends either program with status 1
// and one line naming the user and where the password came from.
TEST_F(Fleet, RefusedCredentialsNameTheUserAndThePasswordsSource) {
    Broker broker(dir, shipped_acl(dir, {"collector", "gw1"}));
    write_file(log, lines_from(0, 1));
    struct Case {
        const char *what;
        std::string password;  // SF_MQTT_PASSWORD=..., or -u SF_MQTT_PASSWORD to unset it
        std::vector<std::string> command;
        std::string err;
    };
    const Case cases[] = {
        {"gateway, wrong password",
         "SF_MQTT_PASSWORD=wrong",
         {publisher, "-b", broker.url(), "-u", "gw1", "-s", dir / "state", "gw1", log},
         "sfpublish: broker refused the connection: not authorised as gw1 (password from SF_MQTT_PASSWORD)\n"},
        {"gateway, no password",
         "-uSF_MQTT_PASSWORD",
         {publisher, "-b", broker.url(), "-u", "gw1", "-s", dir / "state", "gw1", log},
         "sfpublish: broker refused the connection: not authorised as gw1 without a password (SF_MQTT_PASSWORD is "
         "not set)\n"},
        {"gateway, no user",
         "SF_MQTT_PASSWORD=gw1-secret",
         {publisher, "-b", broker.url(), "-s", dir / "state", "gw1", log},
         "sfpublish: broker refused the connection: not authorised without a user name (-u), so SF_MQTT_PASSWORD "
         "was not sent\n"},
        {"collector, wrong password",
         "SF_MQTT_PASSWORD=gw1-secret",
         {collector, "-b", broker.url(), "-u", "collector", central},
         "sfcollect: broker refused the connection: not authorised as collector (password from "
         "SF_MQTT_PASSWORD)\n"},
        {"collector, empty password",
         "SF_MQTT_PASSWORD=",
         {collector, "-b", broker.url(), "-u", "collector", central},
         "sfcollect: broker refused the connection: not authorised as collector (an empty password from "
         "SF_MQTT_PASSWORD)\n"},
        {"collector, no user",
         "-uSF_MQTT_PASSWORD",
         {collector, "-b", broker.url(), central},
         "sfcollect: broker refused the connection: not authorised without a user name (-u)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"env", c.password};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const Outcome refused = run("/usr/bin/env", args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, c.err);
    }
}

}  // namespace
