// What an operator setting up a fleet meets: certificate files named when
// they cannot serve, the monitor's view through the shipped ACL, two
// gateways given one name, a publish the ACL refuses, and a broker that
// speaks only MQTT 3.1.1.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fleet_support.h"
#include "host_name.h"

namespace {

// Before any connection is tried (the broker's port is closed): one line
// naming the option, the file and the reason, and status 1.
TEST(FleetCommandLine, CertificateFilesThatCannotServeAreNamed) {
    TempDir dir;
    const std::string pem = dir / "ca.pem";
    write_file(pem, "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
    write_file(dir / "der.crt", std::string("\x30\x82\x01\x0a", 4));
    write_file(dir / "locked.pem", read_file(pem));
    chmod((dir / "locked.pem").c_str(), 0);
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(closed_port());
    struct Case {
        std::vector<std::string> options;
        std::string said;
    };
    const Case cases[] = {
        {{"--cafile", dir / "missing.pem"}, "--cafile " + dir / "missing.pem" + ": No such file or directory"},
        {{"--cafile", dir.path}, "--cafile " + dir.path + ": Is a directory"},
        {{"--cafile", dir / "der.crt"}, "--cafile " + dir / "der.crt" + ": not a PEM file (no \"-----BEGIN\" line)"},
        {{"--cafile", dir / "locked.pem"}, "--cafile " + dir / "locked.pem" + ": Permission denied"},
        {{"--cafile", pem, "--cert", dir / "gw1.pem", "--key", pem},
         "--cert " + dir / "gw1.pem" + ": No such file or directory"},
        {{"--cafile", pem, "--cert", pem, "--key", dir / "der.crt"},
         "--key " + dir / "der.crt" + ": not a PEM file (no \"-----BEGIN\" line)"},
    };
    for (const std::string program : {"sfpublish", "sfcollect"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(program + " " + c.said);
            std::vector<std::string> args{program, "-b", url};
            args.insert(args.end(), c.options.begin(), c.options.end());
            if (program == "sfpublish")
                args.insert(args.end(), {"gw1", dir / "gw1.log"});
            else
                args.push_back(dir.path);
            const Outcome outcome = run(program == "sfpublish" ? publisher : collector, args, drop_file_privileges);
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.err, program + ": " + c.said + "\n");
        }
    }
}

// The broker settings of the shipped ACL for collector and gw1, but for one
// line of it (an ACL of before, or a mistaken one); false when it has no such line.
bool shipped_acl_without(const TempDir &dir, const std::string &line, std::string &conf) {
    std::string acl = read_file(std::string(SF_SOURCE_DIR) + "/packaging/mosquitto-central.acl");
    if (acl.find(line) == std::string::npos) return false;
    acl.erase(acl.find(line), line.size());
    write_file(dir / "edited.acl", acl);
    conf = shipped_acl(dir, {"collector", "gw1"});
    conf = conf.substr(0, conf.find("acl_file ")) + "acl_file " + (dir / "edited.acl") + "\n";
    return true;
}

// Started with the collector's password, as its unit gives it.
std::unique_ptr<Process> start_collector_as(const Broker &broker, const std::string &central, const std::string &user) {
    return std::make_unique<Process>(
        "/usr/bin/env", std::vector<std::string>{"env", "SF_MQTT_PASSWORD=" + user + "-secret", collector, "-b",
                                                 broker.url(), "-u", user, central});
}

// Ships log to its end as gw1, user gw1 of the shipped ACL.
Outcome ship_as_gw1(const Broker &broker, const std::string &log) {
    return run("/usr/bin/env",
               {"env", "SF_MQTT_PASSWORD=gw1-secret", publisher, "-e", "-b", broker.url(), "-u", "gw1", "gw1", log});
}

std::vector<std::string> subscriber(const Broker &broker, const std::string &user) {
    return {"mosquitto_sub",  "-V", "5", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-u", user, "-P",
            user + "-secret", "-v"};
}

// The shipped ACL's monitor reads every gateway's status and ack, and neither
// reads packets nor writes anything.
TEST_F(Fleet, MonitorWatchesStatusAndAcksOnly) {
    Broker broker(dir, shipped_acl(dir, {"collector", "gw1", "monitor"}));
    auto collecting = start_collector_as(broker, central, "collector");
    write_file(log, lines_from(0, 3));
    const Outcome shipped = ship_as_gw1(broker, log);
    ASSERT_EQ(shipped.status, 0) << shipped.err;
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3)));

    std::vector<std::string> watch = subscriber(broker, "monitor");
    watch.insert(watch.end(), {"-t", "sflogger/+/status", "-t", "sflogger/+/ack", "-W", "2"});
    const Outcome watched = run("/usr/bin/mosquitto_sub", watch);
    const std::vector<std::string> lines = lines_of(watched.out);
    ASSERT_EQ(lines.size(), 2U) << watched.out;
    EXPECT_EQ(lines[0], "sflogger/gw1/status offline");
    EXPECT_EQ(lines[1].rfind("sflogger/gw1/ack ", 0), 0U);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 2), " 4");

    std::vector<std::string> snoop = subscriber(broker, "monitor");
    snoop.insert(snoop.end(), {"-t", "sflogger/+/packets", "-C", "1", "-W", "3"});
    Process snooping("/usr/bin/mosquitto_sub", snoop);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // subscribed
    const std::string epoch = lines[1].substr(17, 16);
    publish_raw(broker.port(), "sflogger/gw1/packets", "sflog1 " + epoch + " 4\n" + lines_from(3, 1), "gw1");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 4)));
    EXPECT_EQ(snooping.finish().out, "");
    const Outcome forged =
        run("/usr/bin/mosquitto_pub",
            {"mosquitto_pub", "-V", "5", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-u", "monitor", "-P",
             "monitor-secret", "-q", "1", "-t", "sflogger/gw1/ack", "-m", epoch + " 1"});
    EXPECT_NE(forged.err.find("Not authorized"), std::string::npos) << forged.err;
    collecting->stop();
}

// An ACL written before collectors had a status topic of their own: the
// collector says so once and collects without finding out about another of
// its client id.
TEST_F(Fleet, CollectorUnderAnEarlierAclGoesOnWithoutItsStatus) {
    std::string conf;
    ASSERT_TRUE(shipped_acl_without(dir, "topic readwrite sflogger/collector/+/status\n", conf));
    Broker broker(dir, conf);
    auto collecting = start_collector_as(broker, central, "collector");
    write_file(log, lines_from(0, 3));
    const Outcome shipped = ship_as_gw1(broker, log);
    EXPECT_EQ(shipped.status, 0) << shipped.err;
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3)));
    collecting->stop();
    const Outcome collected = collecting->finish();
    EXPECT_EQ(collected.status, 0);
    // The broker's refusal may come before or after the first batch.
    std::vector<std::string> said = lines_of(collected.err);
    std::sort(said.begin(), said.end());
    ASSERT_EQ(said.size(), 2U) << collected.err;
    EXPECT_EQ(said[0].rfind("sfcollect: gw1: new epoch ", 0), 0U) << said[0];
    EXPECT_EQ(said[1], "sfcollect: not authorised to publish to sflogger/collector/sfcollect-" + host_name() +
                           "/status as user collector; going on without it");
}

// A gateway's acks go at QoS 0 once the broker has taken one of them at QoS
// 1 on the connection, which still hears an ACL that refuses them: for each
// gateway, and again after a reconnection.
TEST_F(Fleet, EachGatewaysAcksGoAtQos0OnceOneIsTaken) {
    Broker broker(dir, shipped_acl(dir, {"collector", "gw1", "gw2", "monitor"}));
    auto collecting = start_collector_as(broker, central, "collector");
    const std::string epoch = "0123456789abcdef";
    std::vector<std::string> watch = subscriber(broker, "monitor");
    // Without the retain flag: a watcher subscribed late gets the first as the retained one, at the same QoS.
    watch.insert(watch.end(), {"-q", "1", "-t", "sflogger/+/ack", "-F", "%t %q %p"});
    // The collector's own status, once it has (again) subscribed.
    std::vector<std::string> up = subscriber(broker, "collector");
    up.insert(up.end(), {"-t", "sflogger/collector/+/status", "-C", "1", "-W", "10", "-F", "%p"});
    struct Row {
        std::string gateway;
        int first;
        std::string qos;
    };
    const std::vector<std::vector<Row>> rounds = {
        {{"gw1", 0, "1"}, {"gw1", 1, "0"}, {"gw2", 0, "1"}, {"gw2", 1, "0"}, {"gw1", 2, "0"}},
        {{"gw1", 3, "1"}, {"gw1", 4, "0"}},  // after the broker's restart
    };
    for (std::size_t round = 0; round < rounds.size(); ++round) {
        if (round > 0) {
            broker.kill_hard();
            broker.start();
        }
        ASSERT_EQ(run("/usr/bin/mosquitto_sub", up).out, "online\n");
        Process watcher("/usr/bin/mosquitto_sub", watch);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
        for (const Row &row : rounds[round]) {
            SCOPED_TRACE(row.gateway + " line " + std::to_string(row.first + 1) + " round " + std::to_string(round));
            publish_raw(broker.port(), "sflogger/" + row.gateway + "/packets",
                        "sflog1 " + epoch + " " + std::to_string(row.first + 1) + "\n" + lines_from(row.first, 1),
                        row.gateway);
            // Each one answered before the next goes: every ack in a pass of its own.
            EXPECT_EQ(watcher.read_line(), "sflogger/" + row.gateway + "/ack " + row.qos + " " + epoch + " " +
                                               std::to_string(row.first + 2));
        }
        watcher.stop();
    }
    // Those at QoS 0 are retained too.
    std::vector<std::string> retained = subscriber(broker, "monitor");
    retained.insert(retained.end(), {"-t", "sflogger/gw1/ack", "-C", "1", "-W", "10", "-F", "%r %p"});
    EXPECT_EQ(run("/usr/bin/mosquitto_sub", retained).out, "1 " + epoch + " 6\n");
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
}

TEST_F(Fleet, CollectorUnderAnAclWithoutAcksEndsSayingSo) {
    std::string conf;
    ASSERT_TRUE(shipped_acl_without(dir, "topic write sflogger/+/ack\n", conf));
    Broker broker(dir, conf);
    auto collecting = start_collector_as(broker, central, "collector");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // subscribed
    publish_raw(broker.port(), "sflogger/gw1/packets", "sflog1 0123456789abcdef 1\n" + lines_from(0, 1), "gw1");
    const Outcome collected = collecting->finish();
    EXPECT_EQ(collected.status, 1);
    const std::vector<std::string> said = lines_of(collected.err);
    ASSERT_EQ(said.size(), 2U) << collected.err;
    EXPECT_EQ(said[1], "sfcollect: not authorised to publish to sflogger/gw1/ack as user collector");
}

// A gateway user publishing under another gateway's name: the first message
// the ACL refuses (the first batch, sent before the status) ends sfpublish,
// naming the topic and the user.
TEST_F(Fleet, PublishTheAclRefusesEndsWithTheTopicAndUser) {
    Broker broker(dir, shipped_acl(dir, {"collector", "gw1"}));
    auto collecting = start_collector_as(broker, central, "collector");
    write_file(log, lines_from(0, 3));
    const Outcome refused = run(
        "/usr/bin/env", {"env", "SF_MQTT_PASSWORD=gw1-secret", publisher, "-b", broker.url(), "-u", "gw1", "gw2", log});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "sfpublish: not authorised to publish to sflogger/gw2/packets as user gw1\n");
    collecting->stop();
}

// Two publishers on one state file (one log shipped under two names, or the
// same one started twice) would each undo the other's place and epoch: the
// second ends at once naming the first, which goes on undisturbed.
TEST_F(Fleet, SecondPublisherOnOneStateIsRefused) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    Process first(publisher, {"sfpublish", "-b", broker.url(), "gw1", log});
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    for (const char *name : {"gw1", "gw2"}) {
        SCOPED_TRACE(name);
        const Outcome second = run(publisher, {"sfpublish", "-b", broker.url(), name, log});
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, "sfpublish: " + log + ".sfpublish: another sfpublish (pid " +
                                  std::to_string(first.pid()) + ") is using this state file\n");
    }
    append_file(log, lines_from(100, 50));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 150)));
    first.stop();
    const Outcome ended = first.finish();
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(ended.err, "");
    collecting->stop();
    EXPECT_EQ(lines_of(collecting->finish().err).size(), 1U);  // one epoch, gw2's never begun
}

// Two gateways given one name: the second takes the session over, the first
// ends saying why (status 1, which its unit does not restart), and only the
// second's lines arrive from then on.
TEST_F(Fleet, SecondGatewayOfOneNameEndsTheFirst) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    const std::string first_log = dir / "first.log";
    const std::string second_log = dir / "second.log";
    write_file(first_log, lines_from(0, 100));
    write_file(second_log, lines_from(1000, 100));
    Process first(publisher, {"sfpublish", "-b", broker.url(), "gw1", first_log});
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    Process second(publisher, {"sfpublish", "-b", broker.url(), "gw1", second_log});
    const Outcome ended = first.finish();
    EXPECT_EQ(ended.status, 1);
    // Taken over first, it may say that it reconnected before it found out.
    ASSERT_FALSE(lines_of(ended.err).empty());
    EXPECT_EQ(lines_of(ended.err).back(), "sfpublish: another sfpublish is using the name gw1");
    append_file(first_log, lines_from(100, 50));
    append_file(second_log, lines_from(1100, 50));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100) + lines_from(1000, 150)));
    second.stop();
    collecting->stop();
    const std::vector<std::string> said = lines_of(collecting->finish().err);
    ASSERT_EQ(said.size(), 2U);
    EXPECT_NE(said[0], said[1]);  // two epochs, said as they began
}

// A broker of MQTT 3.1.1 only (aedes, which scripts/test.sh installs): both
// programs say once that they speak 3.1.1 to it, and ship as over v5.
TEST_F(Fleet, BrokerOfMqtt311OnlyIsSpokenTo) {
    const std::string modules = std::string(SF_SOURCE_DIR) + "/build/aedes/node_modules";
    if (!file_exists(modules + "/aedes/package.json") || !file_exists("/usr/bin/node"))
        GTEST_SKIP() << "no aedes in " << modules << " (scripts/test.sh installs it)";
    const int port = closed_port();
    Process aedes("/usr/bin/env", {"env", "NODE_PATH=" + modules, "node",
                                   std::string(SF_SOURCE_DIR) + "/tests/aedes_broker.js", std::to_string(port)});
    ASSERT_EQ(aedes.read_line(), "ready");
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
    Process collecting(collector, {"sfcollect", "-b", url, "-i", "central", central});
    write_file(log, lines_from(0, 500));
    const Outcome shipped = run(publisher, {"sfpublish", "-e", "-b", url, "gw1", log});
    EXPECT_EQ(shipped.status, 0);
    const std::string fell_back = "broker 127.0.0.1:" + std::to_string(port) +
                                  " does not speak MQTT v5; speaking 3.1.1, under which it drops what its ACL refuses "
                                  "without a word\n";
    EXPECT_EQ(shipped.err, "sfpublish: " + fell_back);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 500)));
    collecting.stop();
    const Outcome collected = collecting.finish();
    EXPECT_EQ(collected.err.rfind("sfcollect: " + fell_back + "sfcollect: gw1: new epoch ", 0), 0U) << collected.err;
    EXPECT_EQ(lines_of(collected.err).size(), 2U);
    aedes.stop();
}

}  // namespace
