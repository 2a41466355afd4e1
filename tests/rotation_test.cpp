// sfpublish following what logrotate and the machine do to a gateway's log
// while it is stopped or behind: files copied, renamed twice, compressed, a
// log written anew under unacknowledged lines, a folder remounted on another
// device, reads that fail. The central log must hold every line the gateway
// still holds, once, in order; lines truly gone are counted.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "fleet_support.h"

namespace {

void move_file(const std::string &from, const std::string &to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << ": " << std::strerror(errno);
}

// gzip's way: the file compressed into FILE.gz, then removed.
void compress_file(const std::string &path) {
    const std::string text = read_file(path);
    gzFile file = gzopen((path + ".gz").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
    ASSERT_EQ(std::remove(path.c_str()), 0);
}

// compresscmd's way with tool (xz, zstd, bzip2): FILE into FILE + end, then removed.
void compress_with(const std::string &tool, const std::string &path) {
    std::vector<std::string> args = {tool, "-q", path};
    if (tool == "zstd") args.emplace_back("--rm");
    ASSERT_EQ(run("/usr/bin/" + tool, args).status, 0) << tool << " (scripts/test.sh installs it)";
}

// compress without delaycompress, compresscmd tool, twice.
std::function<void(const std::string &)> rotate_compressing_with(const std::string &tool, const std::string &end) {
    return [tool, end](const std::string &log) {
        move_file(log, log + ".1");
        compress_with(tool, log + ".1");
        write_file(log, lines_from(2000, 1000));
        move_file(log + ".1" + end, log + ".2" + end);
        move_file(log, log + ".1");
        compress_with(tool, log + ".1");
        write_file(log, lines_from(3000, 1000));
    };
}

// 1,000 lines shipped by a run of sfpublish -e, then 1,000 more written.
struct Behind : FleetDir {
    Behind() : collecting(start_collector(broker, central)) {
        write_file(log, lines_from(0, 1000));
        EXPECT_EQ(start_publisher(broker, log, true)->finish().status, 0);
        append_file(log, lines_from(1000, 1000));
    }
    Broker broker{dir};
    std::unique_ptr<Process> collecting;
};

// What logrotate did while sfpublish was stopped, 1,000 lines shipped and
// 1,000 more written: each leaves the gateway holding every line, and all of
// them reach the central log, none twice, with nothing said.
struct StoppedCase {
    const char *name;
    std::function<void(const std::string &log)> rotate;
    int total;  // lines written in all
};

const StoppedCase stopped_cases[] = {
    {"copytruncate",
     [](const std::string &log) {
         write_file(log + ".1", read_file(log));
         write_file(log, lines_from(2000, 100));
     },
     2100},
    {"rotated twice (create, delaycompress not yet)",
     [](const std::string &log) {
         move_file(log, log + ".1");
         write_file(log, lines_from(2000, 1000));
         move_file(log + ".1", log + ".2");
         move_file(log, log + ".1");
         write_file(log, lines_from(3000, 1000));
     },
     4000},
    {"compress without delaycompress, twice",
     [](const std::string &log) {
         move_file(log, log + ".1");
         compress_file(log + ".1");
         write_file(log, lines_from(2000, 1000));
         move_file(log + ".1.gz", log + ".2.gz");
         move_file(log, log + ".1");
         compress_file(log + ".1");
         write_file(log, lines_from(3000, 1000));
     },
     4000},
    {"compresscmd xz, without delaycompress, twice", rotate_compressing_with("xz", ".xz"), 4000},
    {"compresscmd zstd, without delaycompress, twice", rotate_compressing_with("zstd", ".zst"), 4000},
    {"compresscmd bzip2, without delaycompress, twice", rotate_compressing_with("bzip2", ".bz2"), 4000},
    {"dateext, compressed, nocreate",
     [](const std::string &log) {
         move_file(log, log + "-20261208");
         compress_file(log + "-20261208");
         write_file(log, lines_from(2000, 500));
     },
     2500},
};

TEST_F(Fleet, WhileStoppedEveryFileLogrotateMadeIsShipped) {
    for (const StoppedCase &each : stopped_cases) {
        SCOPED_TRACE(each.name);
        Behind here;
        each.rotate(here.log);
        const Outcome outcome = start_publisher(here.broker, here.log, true)->finish();
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_TRUE(wait_for_content(here.central + "/gw1.log", lines_from(0, each.total)));
        here.collecting->stop();
    }
}

// Where the log's rotated files are not beside the name sfpublish is given:
// the log a symbolic link into another folder (logrotate, which skips links,
// rotates the file it names), or logrotate's olddir.
struct ElsewhereCase {
    const char *name;
    const char *file;     // the log's file, under the folder; the log links to it unless it is "gw1.log"
    bool absolute;        // the link names it by its absolute path
    const char *olddir;   // --olddir; "" for none
    const char *rotated;  // where logrotate moves the log's file, under the folder
};

const ElsewhereCase elsewhere_cases[] = {
    {"a link into another folder", "data/gw1.log", true, "", "data/gw1.log.1"},
    {"a relative link, compressed there", "data/gw1.log", false, "", "data/gw1.log.1.gz"},
    {"olddir", "gw1.log", false, "old", "old/gw1.log.1"},
    {"a link and olddir, relative to the folder of the file it names", "data/gw1.log", false, "old",
     "data/old/gw1.log.1"},
};

// sfpublish stopped across one rotation, 1,000 lines shipped, 500 written
// before it and 100 after: all 1,600 reach the central log, nothing said.
TEST_F(Fleet, WhileStoppedRotatedFilesElsewhereAreShipped) {
    for (const ElsewhereCase &each : elsewhere_cases) {
        SCOPED_TRACE(each.name);
        FleetDir here;
        Broker broker(here.dir);
        auto collecting = start_collector(broker, here.central);
        const std::string file = here.dir / each.file;
        const std::string rotated = here.dir / each.rotated;
        for (const char *folder : {"data", "data/old", "old"}) mkdir((here.dir / folder).c_str(), 0755);
        if (file != here.log) {
            ASSERT_EQ(symlink(each.absolute ? file.c_str() : each.file, here.log.c_str()), 0);
        }
        std::vector<std::string> extra;
        if (*each.olddir != '\0') extra = {"--olddir", each.olddir};
        write_file(here.log, lines_from(0, 1000));
        EXPECT_EQ(start_publisher(broker, here.log, true, extra)->finish().status, 0);
        append_file(here.log, lines_from(1000, 500));
        const bool compressed = rotated.size() > 3 && rotated.compare(rotated.size() - 3, 3, ".gz") == 0;
        move_file(file, compressed ? rotated.substr(0, rotated.size() - 3) : rotated);
        if (compressed) compress_file(rotated.substr(0, rotated.size() - 3));
        write_file(here.log, lines_from(1500, 100));
        const Outcome outcome = start_publisher(broker, here.log, true, extra)->finish();
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_TRUE(wait_for_content(here.central + "/gw1.log", lines_from(0, 1600)));
        collecting->stop();
    }
}

// A link that names no file yet is a log not made yet; a link changed to a
// file in another folder is followed there, and so is that file's rotation.
TEST_F(Fleet, ALinkChangedToAnotherFolderIsFollowedThere) {
    for (const char *folder : {"data", "disk2"}) mkdir((dir / folder).c_str(), 0755);
    ASSERT_EQ(symlink("data/gw1.log", log.c_str()), 0);
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    auto publishing = start_publisher(broker, log);
    write_file(log, lines_from(0, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    move_file(dir / "data/gw1.log", dir / "disk2/gw1.log");
    ASSERT_EQ(symlink("disk2/gw1.log", (dir / "new.log").c_str()), 0);
    move_file(dir / "new.log", log);
    append_file(log, lines_from(100, 100));
    move_file(dir / "disk2/gw1.log", dir / "disk2/gw1.log.1");
    write_file(log, lines_from(200, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 300)));
    publishing->stop();
    collecting->stop();
    const Outcome outcome = publishing->finish();
    EXPECT_EQ(outcome.err, "");
}

// For a sanitized build: LeakSanitizer cannot run under ptrace.
const char no_leak_check[] = "ASAN_OPTIONS=detect_leaks=0";

// Waits until a subscriber's record of the packets topic shows line.
bool wait_for_sent(const std::string &wire, const std::string &line) {
    for (int waited = 0; waited < wait_ms; waited += 20) {
        if (read_file(wire).find(line) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// LOG.1's 1,000 lines unacknowledged, the log's 10 lines sent, then the log
// emptied and written anew and the broker's queue lost: LOG.1's lines still
// arrive, in the epoch they were sent in, the 10 are counted as lost, and
// the log's new lines follow in a new epoch.
TEST_F(Fleet, LogWrittenAnewKeepsTheUnacknowledgedLinesBeforeIt) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    const std::string wire = dir / "wire";
    Process watching("/bin/sh", {"sh", "-c",
                                 "exec mosquitto_sub -h 127.0.0.1 -p " + std::to_string(broker.port()) +
                                     " -q 1 -t sflogger/gw1/packets >" + wire});
    auto publishing = start_publisher(broker, log);
    write_file(log, lines_from(0, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    kill(collecting->pid(), SIGSTOP);
    append_file(log, lines_from(100, 1000));
    move_file(log, log + ".1");
    write_file(log, lines_from(5000, 10));
    ASSERT_TRUE(wait_for_sent(wire, lines_from(5009, 1)));
    broker.kill_hard();
    kill(collecting->pid(), SIGKILL);
    collecting->finish();
    write_file(log, lines_from(6000, 5));  // emptied and written anew
    broker.start();
    collecting = start_collector(broker, central);
    const testing::AssertionResult arrived =
        wait_for_content(central + "/gw1.log", lines_from(0, 1100) + lines_from(6000, 5), 6 * wait_ms);
    publishing->stop();
    collecting->stop();
    kill(watching.pid(), SIGTERM);
    watching.finish();
    const Outcome outcome = publishing->finish();
    EXPECT_TRUE(arrived) << outcome.err;
    // Besides the broker's going and coming back, and the rewrite when the
    // publisher met it before its resend did.
    std::vector<std::string> said;
    for (const std::string &line : lines_of(outcome.err))
        if (line.find("broker") == std::string::npos && line.find("its start changed") == std::string::npos)
            said.push_back(line);
    ASSERT_EQ(said.size(), 2U) << outcome.err;
    EXPECT_EQ(said[0].rfind("sfpublish: lines 1,101 to 1,110 of epoch ", 0), 0U) << said[0];
    EXPECT_NE(said[0].find(" are gone from the gateway: 10 lines lost"), std::string::npos) << said[0];
    EXPECT_TRUE(says_new_epoch(said[1])) << said[1];
}

// The log's folder back on another device number with the same inodes (a
// disk in another port): 3,000 lines shipped before are not shipped again.
TEST_F(Fleet, FolderOnAnotherDeviceShipsNothingTwice) {
    const std::string logs = dir / "logs";
    mkdir(logs.c_str(), 0755);
    LoopDisk disk(dir, logs);
    if (!disk.why_not.empty()) GTEST_SKIP() << disk.why_not;
    const std::string gateway = logs + "/gw1.log";
    const std::string state = dir / "gw1.sfpublish";
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    const auto publish_once = [&] {
        return Process(publisher, {"sfpublish", "-b", broker.url(), "-s", state, "-e", "gw1", gateway}).finish();
    };
    write_file(gateway, lines_from(0, 3000));
    struct stat before {};
    ASSERT_EQ(stat(gateway.c_str(), &before), 0);
    ASSERT_EQ(publish_once().status, 0);
    if (!disk.move_device()) GTEST_SKIP() << disk.why_not;
    struct stat after {};
    ASSERT_EQ(stat(gateway.c_str(), &after), 0);
    ASSERT_NE(after.st_dev, before.st_dev);
    ASSERT_EQ(after.st_ino, before.st_ino);
    append_file(gateway, lines_from(3000, 500));
    const Outcome outcome = publish_once();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3500)));
    collecting->stop();
}

// A read of the log that fails (EIO on a worn card), at several points of
// the run: said with the file and the call, tried again, and never taken for
// a file written anew or gone.
TEST_F(Fleet, ReadErrorsAreSaidAndTriedAgain) {
    const std::string strace = "/usr/bin/strace";
    if (!file_exists(strace)) GTEST_SKIP() << "strace is not installed: no way to make a read fail";
    for (const char *when : {"1", "2", "3", "4..6"}) {
        SCOPED_TRACE(when);
        Behind here;
        // -P: only the reads of the log itself fail.
        const Outcome outcome =
            Process(strace, {"strace", "-f", "-o", "/dev/null", "-E", no_leak_check, "-P", here.log, "-e",
                             "trace=pread64", "-e", std::string("inject=pread64:error=EIO:when=") + when, publisher,
                             "-b", here.broker.url(), "-e", "gw1", here.log})
                .finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        const std::vector<std::string> said = lines_of(outcome.err);
        ASSERT_EQ(said.size(), 2U) << outcome.err;
        EXPECT_EQ(said[0], "sfpublish: pread " + here.log + ": Input/output error; retrying");
        EXPECT_EQ(said[1], "sfpublish: " + here.log + ": read again");
        EXPECT_TRUE(wait_for_content(here.central + "/gw1.log", lines_from(0, 2000)));
        here.collecting->stop();
    }
}

// A broker, a collector and sfpublish following the log, its metrics on port.
struct Following {
    explicit Following(const FleetDir &here)
        : broker(here.dir),
          collecting(start_collector(broker, here.central)),
          publishing(publisher, {"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", here.log}),
          port(metrics_port(publishing)) {}
    // Its standard error, once both programs have stopped.
    std::string stop() {
        publishing.stop();
        collecting->stop();
        return publishing.finish().err;
    }
    Broker broker;
    std::unique_ptr<Process> collecting;
    Process publishing;
    int port;
};

// The log cut short in place, its first line kept (truncate -s), after
// 1,000 lines were shipped, then written on: the cut is said with its bytes,
// a new epoch starts at it, and the new lines are shipped in it.
TEST_F(Fleet, LogCutShortInPlaceShipsItsNewLines) {
    Following live(*this);
    ASSERT_NE(live.port, 0);
    write_file(log, lines_from(0, 1000));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000)));
    const std::string epochs = "sfpublish_epochs_total{gateway=\"gw1\"}";
    const double before = sample_of(http_get(live.port, "/metrics"), epochs);
    const std::size_t kept = lines_from(0, 500).size();
    ASSERT_EQ(truncate(log.c_str(), static_cast<off_t>(kept)), 0);
    EXPECT_EQ(sample_of(wait_for_sample(live.port, epochs, before + 1), epochs), before + 1);
    append_file(log, lines_from(5000, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1000) + lines_from(5000, 100)));
    const std::vector<std::string> said = lines_of(live.stop());
    ASSERT_EQ(said.size(), 2U);
    EXPECT_EQ(said[0], "sfpublish: " + log + ": cut short in place to " + std::to_string(kept) + " bytes after " +
                           std::to_string(2 * kept) + " were read: " + std::to_string(kept) +
                           " bytes gone; its lines after the cut start a new epoch");
    EXPECT_TRUE(says_new_epoch(said[1])) << said[1];
}

// A line written to LOG.1 well after sfpublish left it for the new log (a
// writer that kept it open): its number went to the new log's lines, so it
// is said with the file and its bytes, and counted as lost.
TEST_F(Fleet, LinesWrittenToAFileLeftAreSaidAndCounted) {
    Following live(*this);
    ASSERT_NE(live.port, 0);
    write_file(log, lines_from(0, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    move_file(log, log + ".1");
    write_file(log, lines_from(100, 100));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 200)));
    const std::string late = lines_from(900, 3);
    append_file(log + ".1", late);
    const std::string lost = "sfpublish_lines_lost_total{gateway=\"gw1\"}";
    EXPECT_EQ(sample_of(wait_for_sample(live.port, lost, 3), lost), 3);
    append_file(log, lines_from(200, 10));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 210)));
    EXPECT_EQ(live.stop(), "sfpublish: " + log + ".1: " + std::to_string(late.size()) +
                               " bytes written to it after it was left for the next file: 3 lines not "
                               "shipped, counted as lost\n");
}

// What the gateway's lines read of a gzip file cut short: the whole lines
// before the cut.
std::string readable_lines(const std::string &path) {
    gzFile file = gzopen(path.c_str(), "rb");
    std::string text;
    char chunk[4096];
    for (int got; file != nullptr && (got = gzread(file, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(got));
    if (file != nullptr) gzclose(file);
    return text.substr(0, text.rfind('\n') + 1);
}

// One file of the folder that cannot be read, 1,000 lines shipped and 1,000
// more written: said once with the file and the call, and every other line
// still goes out. A compressed file cut short gives what it holds before the
// cut; what it held after is said, and a new epoch tells the collector of
// the hole.
struct UnreadableCase {
    const char *name;
    std::function<void(const std::string &log)> damage;
    std::string fault;  // the path a failed open is injected on, with strace
    std::function<std::string(const std::string &log)> expected;
    const char *said;  // at the start of the first line said, after the folder
    const char *then;  // in a later line
};

const UnreadableCase unreadable_cases[] = {
    {"an old LOG.3.gz cut short by a power cut while gzip wrote it",
     [](const std::string &log) {
         write_file(log + ".3.gz", "");
         gzFile file = gzopen((log + ".3.gz").c_str(), "wb");
         const std::string old = lines_from(9000, 2000);
         gzwrite(file, old.data(), static_cast<unsigned>(old.size()));
         gzclose(file);
         ASSERT_EQ(truncate((log + ".3.gz").c_str(), 30), 0);
     },
     "", [](const std::string &) { return lines_from(0, 2000); }, "gzread %.3.gz: unexpected end of file; retrying",
     ""},
    {"an old LOG.2 that cannot be opened", [](const std::string &log) { write_file(log + ".2", lines_from(9000, 5)); },
     ".2", [](const std::string &) { return lines_from(0, 2000); }, "open %.2: Permission denied; retrying", ""},
    {"LOG.1.gz, compressed without delaycompress, cut short in its new lines",
     [](const std::string &log) {
         move_file(log, log + ".1");
         compress_file(log + ".1");
         struct stat info {};
         ASSERT_EQ(stat((log + ".1.gz").c_str(), &info), 0);
         ASSERT_EQ(truncate((log + ".1.gz").c_str(), info.st_size * 3 / 4), 0);
         write_file(log, lines_from(5000, 100));
     },
     "", [](const std::string &log) { return readable_lines(log + ".1.gz") + lines_from(5000, 100); },
     "gzread %.1.gz: unexpected end of file; retrying", "unexpected end of file; its content after byte "},
};

TEST_F(Fleet, OneUnreadableFileStopsNothing) {
    const std::string strace = "/usr/bin/strace";
    for (const UnreadableCase &each : unreadable_cases) {
        SCOPED_TRACE(each.name);
        if (!each.fault.empty() && !file_exists(strace)) continue;
        Behind here;
        each.damage(here.log);
        const std::string expected = each.expected(here.log);
        // Not by its mode: root, as the tests may run, reads a file of mode 000.
        const Outcome outcome =
            each.fault.empty()
                ? start_publisher(here.broker, here.log, true)->finish()
                : Process(strace, {"strace", "-f", "-o", "/dev/null", "-E", no_leak_check, "-P", here.log + each.fault,
                                   "-e", "trace=openat", "-e", "inject=openat:error=EACCES", publisher, "-b",
                                   here.broker.url(), "-e", "gw1", here.log})
                      .finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        std::string said = each.said;
        said.replace(said.find('%'), 1, here.log);
        const std::vector<std::string> lines = lines_of(outcome.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("sfpublish: " + said, 0), 0U) << outcome.err;
        EXPECT_NE(outcome.err.find(each.then), std::string::npos) << outcome.err;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string &line) { return line.find("retrying") != std::string::npos; }),
                  1)
            << outcome.err;
        EXPECT_TRUE(wait_for_content(here.central + "/gw1.log", expected));
        here.collecting->stop();
    }
}

// No inotify instance to be had (fs.inotify.max_user_instances met): said
// once, and the log is looked at every 100 ms, across a rotation too.
TEST_F(Fleet, WithoutInotifyTheLogIsStillFollowed) {
    const std::string strace = "/usr/bin/strace";
    if (!file_exists(strace)) GTEST_SKIP() << "strace is not installed: no way to deny inotify";
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    write_file(log, lines_from(0, 100));
    Process publishing(strace, {"strace", "-f", "-o", "/dev/null", "-E", no_leak_check, "-e", "trace=inotify_init1",
                                "-e", "inject=inotify_init1:error=EMFILE", publisher, "-b", broker.url(), "gw1", log});
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 100)));
    append_file(log, lines_from(100, 100));
    move_file(log, log + ".1");
    append_file(log + ".1", lines_from(200, 10));  // a line landing late in the rotated file
    write_file(log, lines_from(300, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 210) + lines_from(300, 100)));
    // Stopped itself, not strace, which would leave it running.
    const std::string pid = std::to_string(publishing.pid());
    const std::string children = read_file("/proc/" + pid + "/task/" + pid + "/children");
    ASSERT_FALSE(children.empty());
    kill(std::stoi(children), SIGTERM);
    collecting->stop();
    EXPECT_EQ(publishing.finish().err,
              "sfpublish: " + dir.path + ": inotify_init1: Too many open files; looking for new lines every 100 ms\n");
}

}  // namespace
