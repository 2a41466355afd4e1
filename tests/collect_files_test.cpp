// sfcollect as a process meeting archive files it cannot write, an
// append-only one, a damaged journal, bytes cut from a log behind its back,
// and more gateways in a pass than it may open files, through a mosquitto of
// the test's own.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"
#include "journal.h"
#include "support.h"

namespace {

const std::string chattr_path = "/usr/bin/chattr";
const std::string mosquitto_sub_path = "/usr/bin/mosquitto_sub";
const std::string epoch = "0123456789abcdef";

void publish_batch(const Broker &broker, const std::string &name, int seq, int first, int count) {
    publish_raw(broker.port(), "sflogger/" + name + "/packets",
                "sflog1 " + epoch + " " + std::to_string(seq) + "\n" + lines_from(first, count));
}

// Publishes name's first line until its log holds it: the collector is then
// subscribed, and the repeats are duplicates.
testing::AssertionResult serve_first(const Broker &broker, const std::string &folder, const std::string &name) {
    const std::string path = folder + "/" + name + ".log";
    for (int tries = 0; tries < 100 && read_file(path) != lines_from(0, 1); ++tries)
        publish_batch(broker, name, 1, 0, 1);
    return wait_for_content(path, lines_from(0, 1));
}

// Publishes again and again, a tenth of a second apart, until path holds expected.
testing::AssertionResult publish_until(const std::string &path, const std::string &expected,
                                       const std::function<void()> &publish) {
    for (int tries = 0; tries < 100 && read_file(path) != expected; ++tries) {
        publish();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return wait_for_content(path, expected);
}

// Stops the collector, which must end well having said just expected.
void expect_said(Process &collecting, const std::string &expected) {
    collecting.stop();
    const Outcome outcome = collecting.finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, expected);
}

// The journal entry of name whose file at path holds its first lines lines, all acknowledged.
std::string entry_for(const std::string &name, const std::string &path, int lines) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    GatewayRecord record;
    record.state.epoch = 0x0123456789abcdefULL;
    record.state.next = static_cast<std::uint64_t>(lines) + 1;
    record.dev = info.st_dev;
    record.ino = info.st_ino;
    record.size = lines_from(0, lines).size();
    return encode_entry(name, record);
}

// What sfcollect says at start of a journal whose line is damaged, name's last entry coming before it.
std::string said_damaged(const std::string &journal, int line, const std::string &name) {
    const std::string number = std::to_string(line);
    return "sfcollect: " + journal + ": line " + number + " is not a whole entry, skipped (the journal is kept as " +
           journal + ".damaged)\nsfcollect: " + journal + ": " + name + " has its last entry before line " + number +
           ", which may have been a newer one: its log is not cut back, and lines that come again are compared with "
           "what lies past the record\n";
}

// An attribute set with chattr for as long as it lives, so that the test's
// folder can be removed. Where the file system has no such attribute, why
// is said and nothing set.
struct Attribute {
    Attribute(const std::string &path, char flag) : path(path), flag(flag) {
        const Outcome outcome = run(chattr_path, {"chattr", std::string("+") + flag, path});
        if (outcome.status != 0) why_not = "chattr +" + std::string(1, flag) + " " + path + ": " + outcome.err;
        set = outcome.status == 0;
    }
    ~Attribute() { lift(); }
    void lift() {
        if (set) run(chattr_path, {"chattr", std::string("-") + flag, path});
        set = false;
    }
    std::string path;
    char flag;
    bool set = false;
    std::string why_not;
};

class CollectFiles : public testing::Test, protected FleetDir {};

// An administrator's append-only archive file (chattr +a) takes the lines
// that follow: it is opened for appending, and for a cut only when one is
// needed.
TEST_F(CollectFiles, AnAppendOnlyLogTakesAppends) {
    if (access(chattr_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << chattr_path << " (Debian: e2fsprogs)";
    Broker broker(dir);
    const std::string archived = central + "/gw1.log";
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    collecting->stop();
    Attribute append_only(archived, 'a');
    if (!append_only.set) GTEST_SKIP() << "the file system has no append-only attribute: " << append_only.why_not;
    collecting = start_collector(broker, central);
    for (int tries = 0; tries < 100 && read_file(archived) != lines_from(0, 3); ++tries)
        publish_batch(broker, "gw1", 2, 1, 2);
    EXPECT_TRUE(wait_for_content(archived, lines_from(0, 3)));
    expect_said(*collecting, "");
}

// An append-only log with a tail never acknowledged cannot be cut back at
// start: said, its gateway waits while the others are served, and once the
// attribute is gone the tail is cut and nothing comes twice.
TEST_F(CollectFiles, ALogThatCannotBeCutBackWaits) {
    if (access(chattr_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << chattr_path << " (Debian: e2fsprogs)";
    Broker broker(dir);
    const std::string archived = central + "/gw1.log";
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    collecting->stop();
    append_file(archived, lines_from(1, 2));  // written, never recorded
    Attribute append_only(archived, 'a');
    if (!append_only.set) GTEST_SKIP() << "the file system has no append-only attribute: " << append_only.why_not;
    collecting = start_collector(broker, central);
    publish_batch(broker, "gw1", 2, 1, 2);
    ASSERT_TRUE(serve_first(broker, central, "gw2"));
    EXPECT_TRUE(read_file(archived) == lines_from(0, 3));
    append_only.lift();
    // Line 2 anew: what was past the record is gone, not doubled.
    EXPECT_TRUE(
        publish_until(archived, lines_from(0, 1) + lines_from(10, 1), [&] { publish_batch(broker, "gw1", 2, 10, 1); }));
    expect_said(*collecting, "sfcollect: " + archived +
                                 ": ftruncate: Operation not permitted; gw1's batches are left unacknowledged and "
                                 "tried again now and then\nsfcollect: gw2: new epoch " +
                                 epoch + "\nsfcollect: gw1: " + archived + " takes its lines again\n");
}

// A tail that could not be cut at start and is then rotated away before the
// next try is cut where it went, so that nothing comes twice; one that is
// gone, or compressed, is said with its bytes.
TEST_F(CollectFiles, ATailRotatedAwayBeforeItsCutIsCutWhereItWent) {
    if (access(chattr_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << chattr_path << " (Debian: e2fsprogs)";
    Broker broker(dir);
    struct Case {
        std::string name;
        std::function<void(const std::string &path)> rotate;
        std::string rotated;  // what is left where it went, if anything
        std::string said;
    };
    const std::string tail = lines_from(1, 2);
    const std::vector<Case> cases = {
        {"gw1", [](const std::string &path) { EXPECT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0); },
         lines_from(0, 1), ""},
        {"gw3", [](const std::string &path) { EXPECT_EQ(unlink(path.c_str()), 0); }, "",
         ": gone before the " + std::to_string(tail.size()) +
             " bytes past its record could be cut (compressed or removed?): if a copy of them was kept, those lines "
             "are in the archive twice\n"},
    };
    auto collecting = start_collector(broker, central);
    for (const Case &c : cases) ASSERT_TRUE(serve_first(broker, central, c.name));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    std::vector<std::unique_ptr<Attribute>> append_only;
    std::string expected;
    for (const Case &c : cases) {
        const std::string path = central + "/" + c.name + ".log";
        append_file(path, tail);  // written, never recorded
        append_only.push_back(std::make_unique<Attribute>(path, 'a'));
        if (!append_only.back()->set)
            GTEST_SKIP() << "the file system has no append-only attribute: " << append_only.back()->why_not;
        expected += "sfcollect: " + path + ": ftruncate: Operation not permitted; " + c.name +
                    "'s batches are left unacknowledged and tried again now and then\n";
    }
    collecting = start_collector(broker, central);
    for (const Case &c : cases) publish_batch(broker, c.name, 2, 1, 2);
    ASSERT_TRUE(serve_first(broker, central, "gw2"));
    expected += "sfcollect: gw2: new epoch " + epoch + "\n";
    for (std::size_t at = 0; at < cases.size(); ++at) {
        const Case &c = cases[at];
        SCOPED_TRACE(c.name);
        const std::string path = central + "/" + c.name + ".log";
        append_only[at]->lift();
        c.rotate(path);
        EXPECT_TRUE(publish_until(path, lines_from(10, 1), [&] { publish_batch(broker, c.name, 2, 10, 1); }));
        if (!c.rotated.empty()) {
            EXPECT_TRUE(read_file(path + ".1") == c.rotated);
        }
        if (!c.said.empty()) expected += "sfcollect: " + path + c.said;
        expected += "sfcollect: " + c.name + ": " + path + " takes its lines again\n";
    }
    expect_said(*collecting, expected);
}

// A log it cannot open for writing is said once, its gateway's batches are
// left unacknowledged while every other gateway is served, and it takes
// lines again once mended.
TEST_F(CollectFiles, ALogItCannotWriteIsSaidOnceAndTriedAgain) {
    Broker broker(dir);
    const std::string elsewhere = dir / "elsewhere.log";
    write_file(elsewhere, "");
    std::vector<std::unique_ptr<Attribute>> attributes;
    struct Case {
        std::string name;
        std::function<std::string(const std::string &path)> break_it;  // why not, when it cannot
        std::function<void(const std::string &path)> mend;
        std::string said;  // after the path
    };
    const std::vector<Case> cases = {
        {"gw2", [](const std::string &path) { return mkdir(path.c_str(), 0755) == 0 ? "" : "mkdir"; },
         [](const std::string &path) { rmdir(path.c_str()); }, ": open: Is a directory"},
        {"gw3",
         [&](const std::string &path) {
             write_file(path, "");
             attributes.push_back(std::make_unique<Attribute>(path, 'i'));
             return attributes.back()->why_not;
         },
         [&](const std::string & /*path*/) { attributes.back()->lift(); }, ": open: Operation not permitted"},
        {"gw4", [&](const std::string &path) { return symlink(elsewhere.c_str(), path.c_str()) == 0 ? "" : "symlink"; },
         [](const std::string &path) { unlink(path.c_str()); },
         ": open: Too many levels of symbolic links (a symbolic link, not followed)"},
        {"gw5",
         [](const std::string &path) {
             write_file(path, "");
             return chown(path.c_str(), 65534, 65534) == 0 ? "" : "chown";
         },
         [](const std::string &path) { EXPECT_EQ(chown(path.c_str(), 0, 0), 0); }, ": open: Permission denied"},
        {"gw6", [](const std::string &path) { return mkfifo(path.c_str(), 0644) == 0 ? "" : "mkfifo"; },
         [](const std::string &path) { unlink(path.c_str()); }, ": open: No such device or address"},
    };
    std::vector<const Case *> broken;
    for (const Case &c : cases) {
        const std::string why_not = c.break_it(central + "/" + c.name + ".log");
        if (why_not.empty())
            broken.push_back(&c);
        else
            std::printf("not tried: %s, %s\n", c.name.c_str(), why_not.c_str());
    }
    // As root, it would write another user's file anyway.
    Process collecting(collector, collector_args(broker, central), drop_file_privileges);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    std::string expected = "sfcollect: gw1: new epoch " + epoch + "\n";
    for (const Case *c : broken) {
        SCOPED_TRACE(c->name);
        for (int batch = 0; batch < 3; ++batch) publish_batch(broker, c->name, 1, 0, 1);
        expected += "sfcollect: " + central + "/" + c->name + ".log" + c->said + "; " + c->name +
                    "'s batches are left unacknowledged and tried again now and then\n";
    }
    publish_batch(broker, "gw1", 2, 1, 1);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 2)));
    for (const Case *c : broken) {
        SCOPED_TRACE(c->name);
        const std::string path = central + "/" + c->name + ".log";
        c->mend(path);
        EXPECT_TRUE(publish_until(path, lines_from(0, 1), [&] { publish_batch(broker, c->name, 1, 0, 1); }));
        expected += "sfcollect: " + c->name + ": " + path + " takes its lines again\n";
        expected += "sfcollect: " + c->name + ": new epoch " + epoch + "\n";
    }
    EXPECT_EQ(read_file(elsewhere), "");
    expect_said(collecting, expected);
}

// A damaged entry in the middle of the journal is said with its line
// number; the entries after it count, and a log whose last record comes
// before it is not cut: the damaged line may have been its newer record.
// The lines that come again are compared with what lies past the record,
// and not written twice, even across a restart.
TEST_F(CollectFiles, ADamagedJournalLineCutsNothingAcknowledged) {
    Broker broker(dir);
    const std::string journal = central + "/sfcollect.journal";
    const auto record_of = [&](const std::string &name, int lines) {
        return entry_for(name, central + "/" + name + ".log", lines);
    };
    write_file(central + "/gw1.log", lines_from(0, 200));  // all of them acknowledged
    write_file(central + "/gw2.log", lines_from(0, 100));
    std::string damaged = record_of("gw1", 200);
    damaged[damaged.size() / 2] ^= 1;
    const std::string text = std::string(journal_head) + "\n" + record_of("gw1", 100) + damaged + record_of("gw2", 100);
    write_file(journal, text);
    append_file(central + "/gw2.log", lines_from(100, 10));     // written, never recorded
    const std::string piece = lines_from(200, 1).substr(0, 9);  // of a line being written when it was killed
    append_file(central + "/gw1.log", piece);
    auto collecting = start_collector(broker, central);
    EXPECT_TRUE(wait_for_content(central + "/gw2.log", lines_from(0, 100)));
    // Told to go back to line 101, its publisher sends lines the log has,
    // taken in before gw4's.
    ASSERT_TRUE(serve_first(broker, central, "gw3"));
    publish_batch(broker, "gw1", 101, 100, 50);
    ASSERT_TRUE(serve_first(broker, central, "gw4"));
    expect_said(*collecting,
                said_damaged(journal, 3, "gw1") + "sfcollect: " + central +
                    "/gw1.log: its last 9 bytes are not a whole line, so never acknowledged: cut\nsfcollect: "
                    "gw3: new epoch " +
                    epoch + "\nsfcollect: gw4: new epoch " + epoch + "\n");
    EXPECT_TRUE(read_file(central + "/gw1.log") == lines_from(0, 200));
    EXPECT_TRUE(read_file(journal + ".damaged") == text);
    // Read back whole, with what is still unsure: the next start says nothing.
    collecting = start_collector(broker, central);
    publish_batch(broker, "gw1", 151, 150, 60);
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 210)));
    expect_said(*collecting, "");
}

// Lines that come again to a log whose record is uncertain are found in it,
// not written twice: after lines of the epoch before, when the damaged entry
// started a new epoch (the publisher is told to start it again from line 1,
// and the epoch before's lines are said); in a new log no record names, when
// the damaged entry named it after logrotate moved the recorded one away.
TEST_F(CollectFiles, LinesThatComeAgainAreFoundPastADamagedRecord) {
    const std::string next_epoch = "fedcba9876543210";
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> files;  // name in the folder, contents
        std::string recorded;                                    // the file the entry names, with 80 lines
        std::string batch;
        std::string expected;  // in gw1.log
        std::function<std::string(const std::string &archived)> said;
    };
    const std::vector<Case> cases = {
        {"a new epoch past the epoch before",
         {{"gw1.log", lines_from(0, 150)}},
         "gw1.log",
         "sflog1 " + next_epoch + " 1\n" + lines_from(100, 60),
         lines_from(0, 160),
         [&](const std::string &archived) {
             // The epoch is said once the pass that stores its lines has committed.
             return "sfcollect: " + archived + ": " + std::to_string(lines_from(80, 20).size()) +
                    " bytes of it past its last certain record matched none of the lines that came again: kept (lines "
                    "of another epoch, or never acknowledged)\nsfcollect: gw1: new epoch " +
                    next_epoch + "\n";
         }},
        {"a new log no record names",
         {{"gw1.log.1", lines_from(0, 80)}, {"gw1.log", lines_from(80, 50)}},
         "gw1.log.1",
         "sflog1 " + epoch + " 81\n" + lines_from(80, 60),
         lines_from(80, 60),
         [](const std::string &archived) {
             return "sfcollect: " + archived +
                    " is not the file gw1's record names, and may hold lines acknowledged since: kept as it is, and "
                    "lines that come again are compared with it\n";
         }},
    };
    for (std::size_t at = 0; at < cases.size(); ++at) {
        const Case &c = cases[at];
        SCOPED_TRACE(c.what);
        const std::string folder = dir / ("case" + std::to_string(at));
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        for (const auto &file : c.files) write_file(folder + "/" + file.first, file.second);
        const std::string journal = folder + "/sfcollect.journal";
        const std::string archived = folder + "/gw1.log";
        write_file(journal, std::string(journal_head) + "\n" + entry_for("gw1", folder + "/" + c.recorded, 80) +
                                "gw1 damaged\n");
        Broker broker(dir);
        Process collecting(collector,
                           {"sfcollect", "-b", broker.url(), "-i", "central", "--metrics", "127.0.0.1:0", folder});
        const int port = metrics_port(collecting);
        ASSERT_NE(port, 0);
        EXPECT_TRUE(
            publish_until(archived, c.expected, [&] { publish_raw(broker.port(), "sflogger/gw1/packets", c.batch); }));
        // Of the lines that came again, only those the log did not hold count as appended.
        const std::string appended = "sfcollect_lines_total{gateway=\"gw1\"}";
        EXPECT_EQ(sample_of(wait_for_sample(port, appended, 10), appended), 10);
        for (const auto &file : c.files) {
            if (file.first != "gw1.log") {
                EXPECT_TRUE(read_file(folder + "/" + file.first) == file.second) << file.first;
            }
        }
        expect_said(collecting, said_damaged(journal, 3, "gw1") + c.said(archived));
    }
}

// After a compaction, a damaged line that was a gateway's only entry: its
// record is taken from the journal before the compaction. Without that
// either, its log is kept as it is, and the lines its publisher sends again
// from line 1 are found in it, not written twice.
TEST_F(CollectFiles, AGatewaysOnlyEntryDamagedAfterACompaction) {
    Broker broker(dir);
    const std::string journal = central + "/sfcollect.journal";
    const std::string archived = central + "/gw1.log";
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    publish_batch(broker, "gw1", 2, 1, 9);
    ASSERT_TRUE(wait_for_content(archived, lines_from(0, 10)));
    ASSERT_TRUE(serve_first(broker, central, "gw2"));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    // Compacted at this start: one line per gateway, gw1's the first.
    collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw3"));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    const auto damage_gw1 = [&] {
        std::string text = read_file(journal);
        const std::size_t line = text.find("\ngw1 ");
        ASSERT_NE(line, std::string::npos) << text;
        text[line + 10] ^= 1;
        write_file(journal, text);
    };
    damage_gw1();
    const std::string skipped = "sfcollect: " + journal +
                                ": line 2 is not a whole entry, skipped (the journal is kept as " + journal +
                                ".damaged)\n";
    collecting = start_collector(broker, central);
    publish_batch(broker, "gw1", 11, 10, 5);
    EXPECT_TRUE(wait_for_content(archived, lines_from(0, 15)));
    expect_said(*collecting, skipped + "sfcollect: " + journal +
                                 ": gw1 has no whole entry (line 2 may have been its record): its record is taken "
                                 "from " +
                                 journal +
                                 ".old, its log is not cut back, and lines that come again are compared "
                                 "with it\n");
    // The journal before the compaction lost as well.
    collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw4"));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    damage_gw1();
    ASSERT_EQ(unlink((journal + ".old").c_str()), 0);
    collecting = start_collector(broker, central);
    EXPECT_TRUE(publish_until(archived, lines_from(0, 20), [&] { publish_batch(broker, "gw1", 1, 0, 20); }));
    expect_said(*collecting, skipped + "sfcollect: " + journal +
                                 ": gw1 has no whole entry (line 2 may have been its record) and none in " + journal +
                                 ".old: its log " + archived + " is kept as it is (" +
                                 std::to_string(lines_from(0, 15).size()) +
                                 " bytes), and lines that come again are compared with it\nsfcollect: gw1: new "
                                 "epoch " +
                                 epoch + "\n");
}

// A real publisher whose gateway's every record is lost to damage is told to
// start again from line 1: what it sends again is found in the log, which
// ends up holding each line once.
TEST_F(CollectFiles, APublisherSentBackToLineOneDoublesNothing) {
    Broker broker(dir);
    const std::string journal = central + "/sfcollect.journal";
    const std::string archived = central + "/gw1.log";
    write_file(log, lines_from(0, 300));
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    ASSERT_TRUE(wait_for_content(archived, lines_from(0, 300)));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    // The start compacts: gw1's only entry then damaged, and the journal before lost.
    collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw2"));
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
    std::string text = read_file(journal);
    text[text.find("\ngw1 ") + 10] ^= 1;
    write_file(journal, text);
    ASSERT_EQ(unlink((journal + ".old").c_str()), 0);
    collecting = start_collector(broker, central);
    append_file(log, lines_from(300, 20));
    EXPECT_TRUE(wait_for_content(archived, lines_from(0, 320)));
    publishing->stop();
    collecting->stop();
    const Outcome collected = collecting->finish();
    EXPECT_EQ(collected.status, 0);
    EXPECT_NE(collected.err.find("gw1 has no whole entry (line 2 may have been its record) and none in"),
              std::string::npos)
        << collected.err;
}

// The shipped logrotate configuration compresses a log rotated the day
// before, which frees its inode, and the file system may give it to the new
// log the next batch creates: that file is new, not the recorded one cut.
TEST_F(CollectFiles, ANewLogWithTheInodeOfACompressedOneIsNew) {
    const std::string gzip_path = "/usr/bin/gzip";
    if (access(gzip_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << gzip_path << " (Debian: gzip)";
    Broker broker(dir);
    const std::string archived = central + "/gw1.log";
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    publish_batch(broker, "gw1", 2, 1, 9);
    ASSERT_TRUE(wait_for_content(archived, lines_from(0, 10)));
    ASSERT_EQ(rename(archived.c_str(), (archived + ".1").c_str()), 0);
    ASSERT_EQ(run(gzip_path, {"gzip", archived + ".1"}).status, 0);
    publish_batch(broker, "gw1", 11, 10, 5);
    EXPECT_TRUE(wait_for_content(archived, lines_from(10, 5)));
    expect_said(*collecting, "sfcollect: gw1: new epoch " + epoch + "\n");
}

// Bytes cut from a log behind the collector's back (a copytruncate on the
// archive) are said with their number, at start or in a pass, and its lines
// go on after what is left.
TEST_F(CollectFiles, BytesGoneFromALogAreSaid) {
    Broker broker(dir);
    const std::string archived = central + "/gw1.log";
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    publish_batch(broker, "gw1", 2, 1, 9);
    ASSERT_TRUE(wait_for_content(archived, lines_from(0, 10)));
    const std::size_t held = lines_from(0, 10).size();
    ASSERT_EQ(truncate(archived.c_str(), 0), 0);
    publish_batch(broker, "gw1", 11, 10, 5);
    EXPECT_TRUE(wait_for_content(archived, lines_from(10, 5)));
    const std::string gone =
        " bytes it had acknowledged are gone from it (cut by another program? a copytruncate?); "
        "its lines go on after what is left\n";
    expect_said(*collecting,
                "sfcollect: gw1: new epoch " + epoch + "\nsfcollect: " + archived + ": " + std::to_string(held) + gone);
    ASSERT_EQ(truncate(archived.c_str(), static_cast<off_t>(lines_from(10, 2).size())), 0);
    const std::size_t cut = lines_from(12, 3).size();
    collecting = start_collector(broker, central);
    publish_batch(broker, "gw1", 16, 15, 1);
    EXPECT_TRUE(wait_for_content(archived, lines_from(10, 2) + lines_from(15, 1)));
    expect_said(*collecting, "sfcollect: " + archived + ": " + std::to_string(cut) + gone);
}

// More gateways in one pass than it may open files: the pass commits early
// and every batch is stored and acknowledged.
TEST_F(CollectFiles, MoreGatewaysInAPassThanOpenFilesAllowed) {
    if (access(mosquitto_sub_path.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no " << mosquitto_sub_path << " (Debian: mosquitto-clients)";
    const int gateways = 150;
    Broker broker(dir);
    // Subscribed once, its session keeps what comes while it is away.
    auto collecting = start_collector(broker, central);
    ASSERT_TRUE(serve_first(broker, central, "gw0"));
    collecting->stop();
    for (int gateway = 1; gateway <= gateways; ++gateway)
        publish_batch(broker, "gw" + std::to_string(gateway), 1, gateway, 2);
    const auto few_files = [] {
        const struct rlimit limit = {64, 64};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    };
    Process limited(collector, collector_args(broker, central), few_files);
    // One wait for all: past it, each log is compared as it is.
    const auto stored = [&](int gateway) {
        return read_file(central + "/gw" + std::to_string(gateway) + ".log") == lines_from(gateway, 2);
    };
    for (int waited = 0, gateway = 1; gateway <= gateways && waited < 3 * wait_ms; waited += 10) {
        while (gateway <= gateways && stored(gateway)) ++gateway;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string expected;
    for (int gateway = 1; gateway <= gateways; ++gateway) {
        EXPECT_TRUE(stored(gateway)) << "gw" << gateway;
        expected += "sfcollect: gw" + std::to_string(gateway) + ": new epoch " + epoch + "\n";
    }
    const Outcome acks = run(mosquitto_sub_path, {"mosquitto_sub", "-h", "127.0.0.1", "-p",
                                                  std::to_string(broker.port()), "-t", "sflogger/+/ack", "-v", "-C",
                                                  std::to_string(gateways + 1), "-W", std::to_string(wait_ms / 1000)});
    std::set<std::string> acked;
    for (const std::string &line : lines_of(acks.out)) acked.insert(line);
    for (int gateway = 0; gateway <= gateways; ++gateway) {
        const std::string ack =
            "sflogger/gw" + std::to_string(gateway) + "/ack " + epoch + (gateway == 0 ? " 2" : " 3");
        EXPECT_EQ(acked.count(ack), 1U) << ack;
    }
    expect_said(limited, expected);
}

// The soft limit of open files is raised to the hard one at start.
TEST_F(CollectFiles, TheOpenFilesLimitIsRaisedToTheHardOne) {
    Broker broker(dir);
    const auto soft_limit = [] {
        const struct rlimit limit = {64, 1000};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    };
    Process collecting(collector, collector_args(broker, central), soft_limit);
    ASSERT_TRUE(serve_first(broker, central, "gw1"));
    const std::string limits = read_file("/proc/" + std::to_string(collecting.pid()) + "/limits");
    EXPECT_NE(limits.find("Max open files            1000                 1000"), std::string::npos) << limits;
    collecting.stop();
}

}  // namespace
