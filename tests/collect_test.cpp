// sfcollect as a process: killed at its syncs, sharing its folder, and
// meeting batches it cannot store, through a mosquitto of the test's own.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"
#include "support.h"

namespace {

const std::string strace_path = "/usr/bin/strace";
const std::string header = "sflog1 0123456789abcdef 1\n";

// Ships log with sfpublish -e as gw1, to its end.
Outcome ship(const Broker &broker, const std::string &log) {
    return run(publisher, {"sfpublish", "-e", "-b", broker.url(), "gw1", log});
}

class Collect : public testing::Test, protected FleetDir {};

// The child a process started: the program strace runs; 0 when none.
pid_t child_of(const Process &parent) {
    const std::string id = std::to_string(parent.pid());
    return static_cast<pid_t>(std::strtol(read_file("/proc/" + id + "/task/" + id + "/children").c_str(), nullptr, 10));
}

// The collector under strace, its syncfs as inject says (delay_exit=5000000, ...).
std::unique_ptr<Process> collect_slowly(const Broker &broker, const std::string &folder, const std::string &inject) {
    // LeakSanitizer, in a sanitized build, cannot run under ptrace.
    std::vector<std::string> args = {
        "strace",       "-f", "--seccomp-bpf",          "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
        "trace=syncfs", "-e", "inject=syncfs:" + inject};
    const std::vector<std::string> rest = collector_args(broker, folder);
    args.push_back(collector);
    args.insert(args.end(), rest.begin() + 1, rest.end());
    return std::make_unique<Process>(strace_path, args);
}

// Why strace cannot join a thread of a process it did not start, if it cannot.
std::string why_not_traced() {
    if (access(strace_path.c_str(), X_OK) != 0) return "no " + strace_path + " (Debian: strace)";
    const std::string scope = read_file("/proc/sys/kernel/yama/ptrace_scope");
    if (geteuid() != 0 && !scope.empty() && scope != "0\n") return "ptrace is restricted (kernel.yama.ptrace_scope)";
    return "";
}

// The thread of pid other than its first, once it has one; -1 after the time-out.
pid_t second_thread(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (int waited = 0; waited < 3 * wait_ms; waited += 10) {
        for (const std::string &task : names_in(tasks))
            if (task != std::to_string(pid)) return static_cast<pid_t>(std::stol(task));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Waits until thread tid of pid is in system call number call.
bool wait_in_call(pid_t pid, pid_t tid, long call) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall";
    for (int waited = 0; waited < 3 * wait_ms; waited += 10) {
        if (read_file(path).rfind(std::to_string(call) + " ", 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits until a tracer has attached to thread tid of pid.
bool wait_traced(pid_t pid, pid_t tid) {
    const std::string status = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status";
    for (int waited = 0; waited < 3 * wait_ms; waited += 10) {
        const std::string text = read_file(status);
        const std::size_t at = text.find("TracerPid:");
        if (at != std::string::npos && std::strtol(text.c_str() + at + 10, nullptr, 10) != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A collector killed by strace at a sync of its first pass into a file it
// has no record of (a new gateway's, or the one that follows a rotation of
// the central log) is cut back at its restart to what it acknowledged.
TEST_F(Collect, KilledAtAnySyncIntoANewFileDoublesNothing) {
    const std::string why_not = why_not_traced();
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    struct Case {
        const char *file;
        const char *call;
        int when;     // which call of it is the last
        bool syncer;  // the call is its sync thread's, which strace joins once it runs; else its first thread's
    };
    // The first thread's fdatasync: the start's new journal, the record
    // before the first line. The sync thread's: syncfs, the pass's logs,
    // written but not recorded; fdatasync, the pass's records.
    const Case cases[] = {
        {"new gateway", "fdatasync", 1, false}, {"new gateway", "fdatasync", 2, false},
        {"new gateway", "fdatasync", 1, true},  {"new gateway", "syncfs", 1, true},
        {"rotated", "fdatasync", 2, false},     {"rotated", "fdatasync", 1, true},
        {"rotated", "syncfs", 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + ", " + (c.syncer ? "sync thread's " : "") + c.call + " " +
                     std::to_string(c.when));
        const TempDir each;
        const std::string folder = each / "central";
        const std::string gateway = each / "gw1.log";
        mkdir(folder.c_str(), 0755);
        Broker broker(each);
        std::string before;
        if (std::string(c.file) == "rotated") {
            before = lines_from(0, 100);
            write_file(gateway, before);
            auto collecting = start_collector(broker, folder);
            EXPECT_EQ(ship(broker, gateway).status, 0);
            collecting->stop();
            ASSERT_EQ(rename((folder + "/gw1.log").c_str(), (folder + "/gw1.log.1").c_str()), 0);
        }
        const std::string after = lines_from(100, 300);
        append_file(gateway, after);
        const std::string inject = "inject=" + std::string(c.call) + ":signal=KILL:when=" + std::to_string(c.when);
        std::unique_ptr<Process> killed;
        std::unique_ptr<Process> tracing;
        if (c.syncer) {
            killed = start_collector(broker, folder);
            const pid_t syncer = second_thread(killed->pid());
            ASSERT_GT(syncer, 0);
            tracing = std::make_unique<Process>(
                strace_path,
                std::vector<std::string>{"strace", "-o", "/dev/null", "-p", std::to_string(syncer), "-e", inject});
            ASSERT_TRUE(wait_traced(killed->pid(), syncer));
        } else {
            std::vector<std::string> args = {"strace", "-f", "-o", "/dev/null", "-e", inject};
            const std::vector<std::string> rest = collector_args(broker, folder);
            args.push_back(collector);
            args.insert(args.end(), rest.begin() + 1, rest.end());
            killed = std::make_unique<Process>(strace_path, args);
        }
        Process publishing(publisher, {"sfpublish", "-e", "-b", broker.url(), "gw1", gateway});
        const Outcome outcome = killed->finish();
        EXPECT_NE(outcome.status, 0) << "not killed: " << outcome.err;
        if (tracing) tracing->finish();
        // A new publisher sends again from what was acknowledged at once, not after its wait for an ack.
        publishing.stop();
        auto collecting = start_collector(broker, folder);
        EXPECT_EQ(ship(broker, gateway).status, 0);
        // Sizes first, as the logs are too long to be shown whole.
        const std::string now = read_file(folder + "/gw1.log");
        EXPECT_EQ(lines_of(now).size(), 300U);
        EXPECT_TRUE(now == after);
        EXPECT_TRUE(read_file(folder + "/gw1.log.1") == before);
        collecting->stop();
    }
}

// A batch of epoch 0123456789abcdef for each of lines, in turn.
std::vector<std::string> one_line_batches(const std::string &lines) {
    std::vector<std::string> batches;
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t next = lines.find('\n', at) + 1;
        batches.push_back("sflog1 0123456789abcdef " + std::to_string(batches.size() + 1) + "\n" +
                          lines.substr(at, next - at));
        at = next;
    }
    return batches;
}

// While a pass's sync takes long (5 s more each, injected), the batches that
// come meanwhile are taken: a broker at its defaults has at most what the
// collector asks for in flight to it (4,096), queues 1,000 more and drops the
// rest, which a publisher would send again only after its patience. Here
// nobody sends again: every line must arrive, also when the collector is
// stopped while it holds batches taken but not yet stored, which the broker
// no longer keeps once it has their receipt.
TEST_F(Collect, BatchesThatComeWhileAPassSyncsAreAllTaken) {
    if (access(strace_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << strace_path << " (Debian: strace)";
    const int count = 7001;
    const std::string lines = lines_from(0, count);
    const std::vector<std::string> batches = one_line_batches(lines);
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped at once" : "waited for");
        const TempDir each;
        const std::string folder = each / "central";
        mkdir(folder.c_str(), 0755);
        Broker broker(each, "max_queued_messages 1000\n");
        const std::unique_ptr<Process> tracing = collect_slowly(broker, folder, "delay_exit=5000000");
        const std::string topic = "sflogger/gw1/packets";
        const std::string first = folder + "/gw1.log";
        // The first batch until the collector has subscribed and written it: its pass then syncs.
        for (int tries = 0; tries < 150 && read_file(first).empty(); ++tries)
            publish_raw(broker.port(), topic, batches[0]);
        ASSERT_EQ(read_file(first), lines_from(0, 1));
        // As fast as the broker takes them, most during the first sync; the
        // collector takes them with ease as long as it reads.
        for (auto from = batches.begin() + 1; from < batches.end(); from += 100)
            publish_all(broker.port(), topic, {from, std::min(from + 100, batches.end())});
        // Sizes only, as the log is too long to be shown whole.
        if (!stopped) {
            EXPECT_TRUE(wait_for_content(first, lines)) << lines_of(read_file(first)).size() << " lines of " << count;
        }
        // The collector is strace's child: stopped itself, so that it ends cleanly.
        const pid_t traced = child_of(*tracing);
        ASSERT_GT(traced, 0);
        kill(traced, SIGTERM);
        const Outcome outcome = tracing->finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "sfcollect: gw1: new epoch 0123456789abcdef\n") << outcome.err;
        if (!stopped) continue;
        // What the broker still holds comes to the next one.
        auto collecting = start_collector(broker, folder);
        EXPECT_TRUE(wait_for_content(first, lines)) << lines_of(read_file(first)).size() << " lines of " << count;
        collecting->stop();
    }
}

// A broker at its defaults has 20 batches in flight to a client and queues
// 1,000 more, dropping the rest, unless the client allows more in flight.
// Here nobody sends again: all must come to a collector stopped meanwhile.
TEST_F(Collect, BatchesThatComeWhileItIsStoppedAreAllInFlight) {
    Broker broker(dir, "max_queued_messages 1000\n");
    auto collecting = start_collector(broker, central);
    const int count = 2001;
    const std::string lines = lines_from(0, count);
    const std::vector<std::string> batches = one_line_batches(lines);
    const std::string topic = "sflogger/gw1/packets";
    const std::string first = central + "/gw1.log";
    for (int tries = 0; tries < 150 && read_file(first).empty(); ++tries) publish_raw(broker.port(), topic, batches[0]);
    ASSERT_EQ(read_file(first), lines_from(0, 1));
    kill(collecting->pid(), SIGSTOP);
    for (auto from = batches.begin() + 1; from < batches.end(); from += 100)
        publish_all(broker.port(), topic, {from, std::min(from + 100, batches.end())});
    kill(collecting->pid(), SIGCONT);
    EXPECT_TRUE(wait_for_content(first, lines)) << lines_of(read_file(first)).size() << " lines of " << count;
    collecting->stop();
    EXPECT_EQ(collecting->finish().status, 0);
}

TEST_F(Collect, SecondCollectorOnTheFolderIsRefused) {
    Broker broker(dir);
    auto first = start_collector(broker, central);
    write_file(log, lines_from(0, 10));
    EXPECT_EQ(ship(broker, log).status, 0);  // the first one holds the folder
    const Outcome second = run(collector, {"sfcollect", "-b", broker.url(), "-i", "second", central});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "sfcollect: " + central + ": another sfcollect is using this folder\n");
    first->stop();
    EXPECT_EQ(first->finish().status, 0);
}

// Two collectors of one client id (a copied configuration on another
// host) would take the session from each other in turn, each writing part of
// the lines; the broker need not say so. The one that started first ends,
// saying why, and the second collects everything from then on.
TEST_F(Collect, SecondCollectorOfOneIdEndsTheFirst) {
    Broker broker(dir);
    auto first = start_collector(broker, central);
    write_file(log, lines_from(0, 10));
    EXPECT_EQ(ship(broker, log).status, 0);  // the first is online
    const std::string other = dir / "other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    auto second = start_collector(broker, other);
    const Outcome ended = first->finish();
    EXPECT_EQ(ended.status, 1);
    ASSERT_FALSE(lines_of(ended.err).empty());
    EXPECT_EQ(lines_of(ended.err).back(), "sfcollect: another sfcollect is using the client id central");
    append_file(log, lines_from(10, 20));
    EXPECT_EQ(ship(broker, log).status, 0);
    // What the first had not yet acknowledged may be in either archive; the rest is in the second's.
    const std::string tail = read_file(other + "/gw1.log");
    EXPECT_NE(tail.find(lines_from(10, 20)), std::string::npos) << tail;
    second->stop();
    const Outcome stopped = second->finish();
    EXPECT_EQ(stopped.status, 0);
    EXPECT_EQ(stopped.err.find("another sfcollect"), std::string::npos) << stopped.err;
}

// Batches it cannot or must not store are said once per name and dropped,
// and the other gateways are served.
TEST_F(Collect, BatchesItCannotStoreAreSaidOnceAndOthersServed) {
    Broker broker(dir);
    ASSERT_EQ(mkdir((central + "/gw2.log").c_str(), 0755), 0);  // a file error on this name alone
    const std::string long_name(65, 'g');
    struct Case {
        std::string topic;
        bool retained;
        std::string said;
    };
    const Case cases[] = {
        {"sflogger/gw3/packets", true, "sflogger/gw3/packets: retained, dropped"},
        {"sflogger/gw2/packets", false,
         central +
             "/gw2.log: open: Is a directory; gw2's batches are left unacknowledged and tried again now and then"},
        {"sflogger/" + long_name + "/packets", false,
         "sflogger/" + long_name + "/packets: gateway name longer than 64 characters, dropped"},
    };
    // Retained messages come to a subscription when it is made.
    for (const Case &c : cases)
        if (c.retained) publish_raw(broker.port(), c.topic, header + lines_from(0, 1), "", true);
    auto collecting = start_collector(broker, central);
    // Subscribed once a batch of gw1 is stored; the same batch again is a duplicate.
    for (int tries = 0; tries < 100 && !file_exists(central + "/gw1.log"); ++tries)
        publish_raw(broker.port(), "sflogger/gw1/packets", header + lines_from(0, 1));
    std::string expected = cases[0].said + "\nsfcollect: gw1: new epoch 0123456789abcdef\n";
    expected = "sfcollect: " + expected;
    for (const Case &c : cases) {
        if (c.retained) continue;
        for (int batch = 0; batch < 3; ++batch) publish_raw(broker.port(), c.topic, header + lines_from(batch, 1));
        expected += "sfcollect: " + c.said + "\n";
    }
    publish_raw(broker.port(), "sflogger/gw1/packets", "sflog1 0123456789abcdef 2\n" + lines_from(1, 2));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 3)));
    collecting->stop();
    const Outcome outcome = collecting->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, expected);
    EXPECT_FALSE(file_exists(central + "/gw3.log"));
}

// A new gateway's first lines that cannot be written when the pass commits
// (a file size limit, which ends no process) are not in the archive: its
// new epoch is neither said nor counted, and the others' lines go in.
TEST_F(Collect, NewEpochIsSaidOnlyOnceStored) {
    Broker broker(dir);
    const auto limit_size = [] {
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    Process collecting(collector, collector_args(broker, central), limit_size);
    for (int tries = 0; tries < 100 && !file_exists(central + "/gw2.log"); ++tries) {
        publish_raw(broker.port(), "sflogger/gw1/packets", header + lines_from(0, 500));
        publish_raw(broker.port(), "sflogger/gw2/packets", header + lines_from(0, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Subscribed now: gw1's batch comes before gw2's next, and gw2's is stored after it.
    publish_raw(broker.port(), "sflogger/gw1/packets", header + lines_from(0, 500));
    publish_raw(broker.port(), "sflogger/gw2/packets", "sflog1 0123456789abcdef 2\n" + lines_from(1, 1));
    EXPECT_TRUE(wait_for_content(central + "/gw2.log", lines_from(0, 2)));
    collecting.stop();
    const std::string said = collecting.finish().err;
    EXPECT_EQ(said.find("gw1: new epoch"), std::string::npos) << said;
    EXPECT_NE(said.find("sfcollect: gw2: new epoch 0123456789abcdef\n"), std::string::npos) << said;
    EXPECT_NE(said.find("gw1's batches are left unacknowledged"), std::string::npos) << said;
}

// An archive of an earlier version, a record file for each gateway, goes on
// from its records: its unacknowledged tail cut, the record moved into the
// journal.
TEST_F(Collect, RecordFilesOfEarlierVersionsAreMovedIntoTheJournal) {
    Broker broker(dir);
    const std::string archived = central + "/gw1.log";
    write_file(archived, lines_from(0, 100));
    struct stat info {};
    ASSERT_EQ(stat(archived.c_str(), &info), 0);
    write_file(central + "/gw1.sfcollect", "0123456789abcdef 101 " + std::to_string(info.st_dev) + " " +
                                               std::to_string(info.st_ino) + " " + std::to_string(info.st_size) + "\n");
    append_file(archived, lines_from(100, 10));  // written, never recorded
    auto collecting = start_collector(broker, central);
    EXPECT_TRUE(wait_for_content(archived, lines_from(0, 100)));
    // The cut comes before the subscription: published until stored, the
    // repeats are duplicates.
    for (int tries = 0; tries < 100 && read_file(archived) != lines_from(0, 105); ++tries)
        publish_raw(broker.port(), "sflogger/gw1/packets", "sflog1 0123456789abcdef 101\n" + lines_from(100, 5));
    EXPECT_TRUE(wait_for_content(archived, lines_from(0, 105)));
    collecting->stop();
    EXPECT_EQ(collecting->finish().err, "");
    EXPECT_FALSE(file_exists(central + "/gw1.sfcollect"));
    EXPECT_NE(read_file(central + "/sfcollect.journal").find("\ngw1 0123456789abcdef 106 "), std::string::npos);
}

// The batch of line first, the first of its epoch, a distinct one each.
std::string first_batch(int first) {
    char head[64];
    std::snprintf(head, sizeof head, "sflog1 0123456789ab%04x 1\n", first);
    return head + lines_from(first, 1);
}

// What the collector answers gw1, as mosquitto_sub gets it, for as long as it lives.
class Answers {
public:
    Answers(const Broker &broker, std::string path)
        : path_(std::move(path)),
          watching_("/bin/sh", {"sh", "-c",
                                "exec mosquitto_sub -h 127.0.0.1 -p " + std::to_string(broker.port()) +
                                    " -q 1 -t sflogger/gw1/ack >" + path_}) {}
    ~Answers() {
        kill(watching_.pid(), SIGTERM);
        watching_.finish();
    }
    Answers(const Answers &) = delete;
    Answers &operator=(const Answers &) = delete;
    std::string text() const { return read_file(path_); }
    std::size_t count(const std::string &said) const {
        const std::vector<std::string> lines = lines_of(text());
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), said));
    }
    // Waits until said has come times.
    bool wait_for(const std::string &said, std::size_t times) const {
        for (int waited = 0; waited < 3 * wait_ms; waited += 10) {
            if (count(said) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    std::string path_;
    Process watching_;
};

// Starts epochs epochs of gw1 in turn, a line each, each acknowledged; the
// collector has subscribed once the first is stored.
bool start_epochs(const Broker &broker, const std::string &central, const Answers &answers, int epochs) {
    for (int tries = 0; tries < 100 && !file_exists(central + "/gw1.log"); ++tries)
        publish_raw(broker.port(), "sflogger/gw1/packets", first_batch(0));
    for (int epoch = 1; epoch < epochs; ++epoch) {
        publish_raw(broker.port(), "sflogger/gw1/packets", first_batch(epoch));
        char ack[32];
        std::snprintf(ack, sizeof ack, "0123456789ab%04x 2", epoch);
        if (!answers.wait_for(ack, 1)) return false;
    }
    return true;
}

}  // namespace

// The batches that come while a pass syncs are written at once, in a pass
// of their own, while the acks of both wait for their own syncs.
TEST_F(Collect, BatchesThatComeWhileAPassSyncsAreWrittenAtOnce) {
    if (access(strace_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << strace_path << " (Debian: strace)";
    Broker broker(dir);
    Answers answers(broker, dir / "answers");
    const std::unique_ptr<Process> tracing = collect_slowly(broker, central, "delay_enter=60000000:when=2");
    const std::vector<std::string> batches = one_line_batches(lines_from(0, 3));
    const std::string topic = "sflogger/gw1/packets";
    const std::string first = central + "/gw1.log";
    for (int tries = 0; tries < 150 && read_file(first).empty(); ++tries) publish_raw(broker.port(), topic, batches[0]);
    ASSERT_TRUE(answers.wait_for("0123456789abcdef 2", 1)) << answers.text();
    publish_raw(broker.port(), topic, batches[1]);
    ASSERT_TRUE(wait_for_content(first, lines_from(0, 2)));
    const pid_t traced = child_of(*tracing);
    ASSERT_GT(traced, 0);
    const pid_t syncer = second_thread(traced);
    ASSERT_GT(syncer, 0);
    ASSERT_TRUE(wait_in_call(traced, syncer, SYS_syncfs));  // held there for a minute
    publish_raw(broker.port(), topic, batches[2]);
    EXPECT_TRUE(wait_for_content(first, lines_from(0, 3)));
    EXPECT_EQ(answers.count("0123456789abcdef 3") + answers.count("0123456789abcdef 4"), 0U) << answers.text();
    // strace would wait out its delay.
    kill(traced, SIGKILL);
    kill(tracing->pid(), SIGKILL);
    tracing->finish();
}

// A sync that fails stops the collector (status 3), saying the file and
// the call, and acknowledges nothing of the pass.
TEST_F(Collect, ASyncThatFailsStopsItAndAcknowledgesNothing) {
    const std::string why_not = why_not_traced();
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    struct Case {
        const char *call;
        const char *said;
    };
    const Case cases[] = {{"syncfs", ": syncfs: Input/output error"},
                          {"fdatasync", "/sfcollect.journal: fdatasync: Input/output error"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        const TempDir each;
        const std::string folder = each / "central";
        const std::string gateway = each / "gw1.log";
        mkdir(folder.c_str(), 0755);
        Broker broker(each);
        Answers answers(broker, each / "answers");
        auto collecting = start_collector(broker, folder);
        const pid_t syncer = second_thread(collecting->pid());
        ASSERT_GT(syncer, 0);
        Process tracing(strace_path, {"strace", "-o", "/dev/null", "-p", std::to_string(syncer), "-e",
                                      std::string("inject=") + c.call + ":error=EIO:when=1"});
        ASSERT_TRUE(wait_traced(collecting->pid(), syncer));
        write_file(gateway, lines_from(0, 10));
        Process publishing(publisher, {"sfpublish", "-e", "-b", broker.url(), "gw1", gateway});
        const Outcome outcome = collecting->finish();
        EXPECT_EQ(outcome.status, 3);
        ASSERT_FALSE(lines_of(outcome.err).empty());
        EXPECT_EQ(lines_of(outcome.err).back(), "sfcollect: " + folder + c.said) << outcome.err;
        EXPECT_EQ(answers.text(), "");
        publishing.stop();
        tracing.finish();
    }
}

// Two publishers of one name take turns, or one's state rolled back: a batch
// of the epoch the gateway left is answered "EPOCH left", said once a minute
// at most, and dropped.
TEST_F(Collect, EpochsTakingTurnsAreAnsweredAndSaidOnce) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    Answers answers(broker, dir / "answers");
    const std::string first = "sflog1 0123456789abcdef ";
    const std::string second = "sflog1 fedcba9876543210 ";
    for (int tries = 0; tries < 100 && !file_exists(central + "/gw1.log"); ++tries)
        publish_raw(broker.port(), "sflogger/gw1/packets", first + "1\n" + lines_from(0, 1));
    publish_raw(broker.port(), "sflogger/gw1/packets", second + "1\n" + lines_from(100, 1));
    ASSERT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1) + lines_from(100, 1)));
    for (int turn = 0; turn < 3; ++turn) {
        publish_raw(broker.port(), "sflogger/gw1/packets",
                    first + std::to_string(2 + turn) + "\n" + lines_from(1 + turn, 1));
        publish_raw(broker.port(), "sflogger/gw1/packets",
                    second + std::to_string(2 + turn) + "\n" + lines_from(101 + turn, 1));
    }
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 1) + lines_from(100, 4)));
    answers.wait_for("0123456789abcdef left", 3);
    EXPECT_EQ(answers.count("0123456789abcdef left"), 3U) << answers.text();
    collecting->stop();
    EXPECT_EQ(collecting->finish().err,
              "sfcollect: gw1: new epoch 0123456789abcdef\n"
              "sfcollect: gw1: new epoch fedcba9876543210\n"
              "sfcollect: gw1: a batch of epoch 0123456789abcdef, left for epoch fedcba9876543210: its publisher is "
              "told to start a new one (its state rolled back? two gateways publish as gw1?)\n");
}

// A gateway that started more epochs than its journal entry lists: a late
// copy of its first epoch's first batch (a broker restored from an old save)
// is answered "EPOCH left" and not written, also after a restart, which reads
// the epochs back from DIR/sfcollect.left, saying its damage.
TEST_F(Collect, EpochsLeftLongAgoStayLeft) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    Answers answers(broker, dir / "answers");
    const std::string topic = "sflogger/gw1/packets";
    const int epochs = 18;  // the 18th drops the first out of the entry's list of 16
    ASSERT_TRUE(start_epochs(broker, central, answers, epochs));
    const std::string archive = lines_from(0, epochs);
    ASSERT_EQ(read_file(central + "/gw1.log"), archive);
    EXPECT_EQ(read_file(central + "/sfcollect.left"), "gw1 0123456789ab0000\n");
    const std::string left = "0123456789ab0000 left";
    publish_raw(broker.port(), topic, first_batch(0));
    EXPECT_TRUE(answers.wait_for(left, 1));
    collecting->stop();
    const std::string said = collecting->finish().err;
    EXPECT_NE(said.find("sfcollect: gw1: a batch of epoch 0123456789ab0000, left for epoch 0123456789ab0011: "),
              std::string::npos)
        << said;
    EXPECT_EQ(read_file(central + "/gw1.log"), archive);

    append_file(central + "/sfcollect.left", "gw1 not-an-epoch\ngw1 0123");
    collecting = start_collector(broker, central);
    publish_raw(broker.port(), topic, first_batch(0));
    EXPECT_TRUE(answers.wait_for(left, 2));
    collecting->stop();
    const std::string file = central + "/sfcollect.left";
    EXPECT_EQ(collecting->finish().err,
              "sfcollect: " + file + ": line 2 is not a gateway's name and an epoch, skipped\nsfcollect: " + file +
                  ": its last 8 bytes are not a whole line, so their epoch is still in the journal: cut\n"
                  "sfcollect: gw1: a batch of epoch 0123456789ab0000, left for epoch 0123456789ab0011: its "
                  "publisher is told to start a new one (its state rolled back? two gateways publish as gw1?)\n");
    EXPECT_EQ(read_file(central + "/gw1.log"), archive);
    EXPECT_EQ(read_file(file), "gw1 0123456789ab0000\ngw1 not-an-epoch\n");
}

// An epoch the file of those left long ago cannot take (a folder in its
// place) is not dropped from the journal's list: the batch that would drop
// it waits unacknowledged, the other gateways are served, and once the file
// is mended the batch goes in.
TEST_F(Collect, AnEpochTheFileOfLeftOnesCannotTakeWaits) {
    Broker broker(dir);
    auto collecting = start_collector(broker, central);
    Answers answers(broker, dir / "answers");
    const std::string topic = "sflogger/gw1/packets";
    const int epochs = 17;  // a list of 16 left
    ASSERT_TRUE(start_epochs(broker, central, answers, epochs));
    const std::string file = central + "/sfcollect.left";
    ASSERT_EQ(rename(file.c_str(), (file + ".away").c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    publish_raw(broker.port(), topic, first_batch(epochs));
    publish_raw(broker.port(), "sflogger/gw2/packets", header + lines_from(100, 1));
    EXPECT_TRUE(wait_for_content(central + "/gw2.log", lines_from(100, 1)));
    EXPECT_EQ(read_file(central + "/gw1.log"), lines_from(0, epochs));
    EXPECT_EQ(answers.count("0123456789ab0011 2"), 0U);
    ASSERT_EQ(rmdir(file.c_str()), 0);
    ASSERT_EQ(rename((file + ".away").c_str(), file.c_str()), 0);
    // Sent again, as its publisher would, until the wait after the failure is over.
    for (int tries = 0; tries < 100 && read_file(central + "/gw1.log") != lines_from(0, epochs + 1); ++tries) {
        publish_raw(broker.port(), topic, first_batch(epochs));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(read_file(central + "/gw1.log"), lines_from(0, epochs + 1));
    EXPECT_TRUE(answers.wait_for("0123456789ab0011 2", 1));
    EXPECT_EQ(read_file(file), "gw1 0123456789ab0000\n");
    collecting->stop();
    const std::string said = collecting->finish().err;
    EXPECT_NE(said.find("sfcollect: " + file +
                        ": open: Is a directory; gw1's batches are left unacknowledged and tried again now and then\n"),
              std::string::npos)
        << said;
}

// The epoch that falls out of a journal entry's list is durable in
// DIR/sfcollect.left before the entry without it is written: a kill between
// the two leaves it in both, never in neither.
TEST_F(Collect, AnEpochIsKeptApartBeforeTheJournalDropsIt) {
    if (access(strace_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << strace_path << " (Debian: strace)";
    Broker broker(dir);
    const std::string trace = dir / "trace";
    std::vector<std::string> args = {"strace", "-f",  "-y",     "-s", "64", "-e", "trace=write,fdatasync",
                                     "-o",     trace, collector};
    const std::vector<std::string> rest = collector_args(broker, central);
    args.insert(args.end(), rest.begin() + 1, rest.end());
    Process tracing(strace_path, args);
    {
        Answers answers(broker, dir / "answers");
        EXPECT_TRUE(start_epochs(broker, central, answers, 18));
    }
    // strace ends with the collector, its child.
    const std::string pid = std::to_string(tracing.pid());
    const std::string children = read_file("/proc/" + pid + "/task/" + pid + "/children");
    ASSERT_FALSE(children.empty());
    kill(static_cast<pid_t>(std::stol(children)), SIGTERM);
    tracing.finish();
    const std::vector<std::string> calls = lines_of(read_file(trace));
    const auto find = [&](std::size_t from, const std::string &call, const std::string &what) {
        for (std::size_t at = from; at < calls.size(); ++at)
            if (calls[at].find(call) != std::string::npos && calls[at].find(what) != std::string::npos) return at;
        return calls.size();
    };
    const std::size_t written = find(0, "write(", "/sfcollect.left>, \"gw1 0123456789ab0000\\n\"");
    const std::size_t synced = find(written, "fdatasync(", "/sfcollect.left>");
    const std::size_t dropped = find(0, "write(", "/sfcollect.journal>, \"gw1 0123456789ab0011 2 ");
    EXPECT_LT(written, synced);
    EXPECT_LT(synced, dropped);
    EXPECT_LT(dropped, calls.size());
}
