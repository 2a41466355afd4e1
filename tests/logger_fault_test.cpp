// The logger under faults: full disks, size limits, signals, pipes, closed
// standard descriptors. Whatever happens, every line in the log is whole.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string logger = SFLOGGER_PATH;
const std::string replay = SFREPLAY_PATH;

// The log must be whole lines holding the first payloads in order.
void expect_whole_lines(const std::string &log, const std::vector<std::string> &payloads) {
    if (!log.empty()) {
        ASSERT_EQ(log.back(), '\n') << "torn last line";
    }
    const std::vector<std::string> lines = lines_of(log);
    ASSERT_LE(lines.size(), payloads.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t space = lines[i].find(' ');
        ASSERT_NE(space, std::string::npos) << lines[i];
        ASSERT_EQ(lines[i].substr(space + 1), hex_of(payloads[i])) << "line " << i + 1;
    }
}

std::vector<std::string> logger_args(const Forwarder &forwarder, const std::string &log) {
    return {"sflogger", "127.0.0.1", std::to_string(forwarder.port()), log};
}

TEST(LoggerFaults, LogThatCannotGrowKeepsWholeLines) {
    TempDir dir;
    const std::string disk = dir / "disk";
    mkdir(disk.c_str(), 0755);
    const bool mounted = mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") == 0;
    const auto limit_size = [] {
        const rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    struct Case {
        const char *name;
        std::string log;
        ChildSetup setup;
    };
    const Case cases[] = {{"full disk", disk + "/log", {}}, {"file size limit", dir / "log", limit_size}};
    const std::vector<std::string> payloads = long_payloads(400);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.log.rfind(disk, 0) == 0 && !mounted) {
            std::printf("no full-disk case: cannot mount a tmpfs here (%s)\n", std::strerror(errno));
            continue;
        }
        Forwarder forwarder = serving(payloads);
        const Outcome outcome = run(logger, logger_args(forwarder, c.log), c.setup);
        EXPECT_EQ(outcome.status, 3);
        EXPECT_EQ(outcome.err, "Couldn't write to log file " + c.log + "\n");
        const std::string log = read_file(c.log);
        EXPECT_GT(log.size(), 0U);
        expect_whole_lines(log, payloads);
    }
    if (mounted) umount(disk.c_str());
}

// Runs a logger against a fast stream into log and sends it sig at a random
// moment once it is connected; returns what it ended with.
Outcome log_until_signal(const std::string &log, int sig, const std::string &frames, std::mt19937 &random) {
    std::atomic<bool> connected{false};
    Forwarder forwarder([&](int fd) {
        handshake(fd);
        connected = true;
        send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
    });
    Process running(logger, logger_args(forwarder, log));
    for (int waited = 0; !connected && waited < wait_ms; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2500));
    kill(running.pid(), sig);
    return running.finish();
}

TEST(LoggerFaults, EndingSignalsNeverTearALine) {
    const std::vector<std::string> payloads = long_payloads(400);
    std::string frames;
    for (const std::string &payload : payloads) frames += frame(payload);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    std::mt19937 random(2026);
    for (int round = 0; round < 250; ++round) {
        const int sig = signals[round % 3];
        SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(sig));
        TempDir dir;
        const Outcome outcome = log_until_signal(dir / "log", sig, frames, random);
        if (outcome.status != 0) {  // status 0: all lines were in before it came
            EXPECT_EQ(outcome.signal, sig);
        }
        expect_whole_lines(read_file(dir / "log"), payloads);
        if (HasFailure()) return;
    }
}

// What /proc/PID/FILE says after "NAME:" or at its start; "" once it is gone.
std::string proc_field(pid_t pid, const std::string &file, const std::string &name = "") {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/" + file);
    const std::size_t at = name.empty() ? 0 : text.find("\n" + name + ":");
    if (text.empty() || at == std::string::npos) return "";
    const std::size_t start = name.empty() ? 0 : text.find_first_not_of(" \t", at + name.size() + 2);
    return text.substr(start, text.find_first_of(" \n", start) - start);
}

bool term_pending(pid_t pid) {
    const unsigned long mask = 1UL << (SIGTERM - 1);
    return (std::stoul("0" + proc_field(pid, "status", "SigPnd"), nullptr, 16) & mask) != 0 ||
           (std::stoul("0" + proc_field(pid, "status", "ShdPnd"), nullptr, 16) & mask) != 0;
}

// A file write is over too soon to be met reliably; a write into a full FIFO
// waits until the test lets it go on, so the signal surely comes during it.
TEST(LoggerFaults, SignalDuringAWriteTakesEffectAfterIt) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::vector<std::string> payloads = long_payloads(200);  // more than a pipe holds
    Forwarder forwarder = serving(payloads);
    Process running(logger, logger_args(forwarder, fifo));
    const pid_t pid = running.pid();
    const auto blocked_in_write = [pid] { return proc_field(pid, "syscall") == std::to_string(SYS_write); };
    for (int waited = 0; !blocked_in_write() && waited < wait_ms; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(blocked_in_write());
    int queued = 0;
    ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
    kill(pid, SIGTERM);
    // Until the signal has been taken: the process is gone or waits in its write again.
    for (int waited = 0; waited < wait_ms; ++waited) {
        if (proc_field(pid, "status", "State") == "Z" || (!term_pending(pid) && blocked_in_write())) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string got = read_to_end(fd);
    const Outcome outcome = running.finish();
    EXPECT_EQ(outcome.signal, SIGTERM);
    expect_whole_lines(got, payloads);
    const std::size_t line_size = got.find('\n') + 1;
    ASSERT_EQ(static_cast<std::size_t>(queued) % line_size, 0U);
    EXPECT_EQ(lines_of(got).size(), static_cast<std::size_t>(queued) / line_size + 1) << "the line being written";
}

TEST(LoggerFaults, FragmentLeftByAKilledWriterIsRemoved) {
    const std::string whole = "1.000000 aa \n";
    const std::string foreign(2000, 'x');
    struct Case {
        const char *name;
        std::string before;
        int age_seconds;
        std::string kept;
    };
    const Case cases[] = {
        {"old fragment", whole + "2.000000 bb c", 60, whole},
        {"fresh fragment, cut once it stays unchanged", whole + "2.0000", 0, whole},
        {"whole lines", whole, 60, whole},
        {"tail longer than a line", foreign, 60, foreign + "\n"},
        {"text no logger wrote", whole + "no newline at end", 60, whole + "no newline at end\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "log", c.before);
        timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= c.age_seconds;
        times[1] = times[0];
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / "log").c_str(), times, 0), 0);
        Forwarder forwarder = serving({"\x01"});
        EXPECT_EQ(run(logger, logger_args(forwarder, dir / "log")).status, 0);
        const std::string log = read_file(dir / "log");
        ASSERT_EQ(log.compare(0, c.kept.size(), c.kept), 0) << log;
        expect_whole_lines(log.substr(c.kept.size()), {"\x01"});
        EXPECT_EQ(lines_of(log.substr(c.kept.size())).size(), 1U);
    }
}

TEST(LoggerFaults, LoggersSharingALogLoseNoLine) {
    TempDir dir;
    const int loggers = 4;
    const int count = 500;
    std::vector<std::vector<std::string>> payloads;
    std::vector<std::unique_ptr<Forwarder>> forwarders;
    std::vector<std::unique_ptr<Process>> running;
    for (int i = 0; i < loggers; ++i) {  // each starts while the ones before it write
        payloads.push_back(long_payloads(count, i));
        forwarders.push_back(std::make_unique<Forwarder>(send_frames(payloads.back())));
        running.push_back(std::make_unique<Process>(logger, logger_args(*forwarders.back(), dir / "log")));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto &process : running) EXPECT_EQ(process->finish().status, 0);
    std::vector<std::string> seen[loggers];
    for (const std::string &line : lines_of(read_file(dir / "log"))) {
        const std::string bytes = line.substr(line.find(' ') + 1);
        const int tag = std::stoi(bytes.substr(0, 2), nullptr, 16);
        ASSERT_LT(tag, loggers) << line;
        seen[tag].push_back(bytes);
    }
    for (int i = 0; i < loggers; ++i) {
        ASSERT_EQ(seen[i].size(), static_cast<std::size_t>(count)) << "logger " << i;
        for (int j = 0; j < count; ++j) ASSERT_EQ(seen[i][j], hex_of(payloads[i][j])) << "logger " << i;
    }
}

TEST(LoggerFaults, FifoLogIsWrittenOnly) {
    const std::vector<std::string> payloads = {"\x01", "", "\x02\x03"};
    struct Case {
        const char *name;
        bool reader, one_line;
        int status;
    };
    for (const Case &c : {Case{"live reader", true, false, 0}, Case{"reader leaves after a line", true, true, 3},
                          Case{"no reader", false, false, 3}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string fifo = dir / "fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::atomic<bool> left{false};
        std::string got;
        std::thread reader;
        if (c.reader) {
            const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            reader = std::thread([&, fd] {
                got = read_to_end(fd, c.one_line);
                left = true;
            });
        }
        Forwarder forwarder([&](int fd) {
            handshake(fd);
            send_all(fd, frame(payloads[0]));
            for (int waited = 0; c.one_line && !left && waited < wait_ms; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            send(fd, (frame(payloads[1]) + frame(payloads[2])).c_str(), 4, MSG_NOSIGNAL);
        });
        const Outcome outcome = run(logger, logger_args(forwarder, fifo));
        if (reader.joinable()) reader.join();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.err, c.status == 0 ? "" : "Couldn't write to log file " + fifo + "\n");
        if (c.reader) expect_whole_lines(got, payloads);
        if (c.reader && !c.one_line) {
            EXPECT_EQ(lines_of(got).size(), payloads.size());
        }
    }
}

TEST(LoggerFaults, ClosedStandardDescriptorsStayClosedToData) {
    TempDir dir;
    std::string after;
    Forwarder forwarder([&](int fd) {
        handshake(fd);
        send_all(fd, frame("\x01"));
        after = read_some(fd, 256);  // whatever the logger sends after its pair
    });
    mkdir((dir / "log").c_str(), 0755);
    const Outcome outcome = run(logger, logger_args(forwarder, dir / "log"), [] { close(STDERR_FILENO); });
    forwarder.join();
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(after, "");

    write_file(dir / "in.log", "1.000000 aa \n");
    const std::string port = std::to_string(closed_port());
    Process server(replay, {"sfreplay", "-1", port, dir / "in.log"}, [] { close(STDOUT_FILENO); });
    Outcome logged;
    for (int waited = 0; logged.status != 0 && waited < wait_ms; waited += 10) {
        logged = run(logger, {"sflogger", "127.0.0.1", port, dir / "out.log"});
        if (logged.status != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(logged.status, 0);
    EXPECT_EQ(server.finish().status, 0);
    expect_whole_lines(read_file(dir / "out.log"), {"\xAA"});
}

}  // namespace
