// Appends RATE lines a second to LOG for SECONDS, as sflogger does (open, one
// write, close), renaming LOG to LOG.1 every ROTATE seconds (0: never), while
// it reads the lines back from a follower of LOG: the forwarder on 127.0.0.1
// PORT (sfreplay -f), or, with PORT "-", log lines on standard input (tail -F,
// the floor). Prints the delays from a line's write to its arrival in
// milliseconds: "lines N p50 P p99 P max P".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "delays.h"
#include "log_line.h"
#include "packet_log.h"
#include "sfsource.h"

namespace {

using Clock = std::chrono::steady_clock;

long long since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

struct Run {
    std::string log;
    long rate = 0;
    long count = 0;
    long rotate = 0;  // lines between renames
    Clock::time_point start = Clock::now();
    std::unique_ptr<std::atomic<long long>[]> written;  // microseconds from start, per line
};

void write_lines(Run &run) {
    unsigned char packet[28] = {};
    char line[max_log_line];
    for (long i = 0; i < run.count; ++i) {
        std::this_thread::sleep_until(run.start + std::chrono::microseconds(i * 1000000 / run.rate));
        if (run.rotate > 0 && i > 0 && i % run.rotate == 0) std::rename(run.log.c_str(), (run.log + ".1").c_str());
        std::memcpy(packet, &i, sizeof i);
        timeval when{};
        gettimeofday(&when, nullptr);
        const std::size_t size = format_log_line(line, when, packet, sizeof packet);
        run.written[i] = since(run.start);
        const int fd = open(run.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, line, size) != static_cast<ssize_t>(size)) std::perror(run.log.c_str());
        if (fd >= 0) close(fd);
    }
}

// The line number a packet carries; -1 for a packet that is not one of ours.
long number_of(const unsigned char *bytes, int len, long count) {
    long i = -1;
    if (len == 28) std::memcpy(&i, bytes, sizeof i);
    return i >= 0 && i < count ? i : -1;
}

// Appends a line that is none of ours until the reader on fd has seen one,
// so that no line is written before tail -F watches the log.
void wait_for_reader(const std::string &log, int fd) {
    const char probe[] = "1.000000 ff \n";
    for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, 20) == 0;) {
        const int out = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (out >= 0 && write(out, probe, sizeof probe - 1) < 0) std::perror(log.c_str());
        if (out >= 0) close(out);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fputs("usage: follow_latency LOG RATE SECONDS ROTATE PORT|-\n", stderr);
        return 2;
    }
    Run run;
    run.log = argv[1];
    run.rate = std::strtol(argv[2], nullptr, 10);
    run.count = run.rate * std::strtol(argv[3], nullptr, 10);
    run.rotate = run.rate * std::strtol(argv[4], nullptr, 10);
    if (run.rate <= 0 || run.count <= 0 || run.rotate < 0) return 2;
    const bool forwarder = std::strcmp(argv[5], "-") != 0;
    const int fd =
        forwarder ? open_sf_source("127.0.0.1", static_cast<int>(std::strtol(argv[5], nullptr, 10))) : STDIN_FILENO;
    if (fd < 0) {
        std::fprintf(stderr, "follow_latency: cannot connect to port %s\n", argv[5]);
        return 1;
    }
    const timeval quiet{10, 0};  // a lost line ends the run instead of hanging it
    if (forwarder) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    if (!forwarder) wait_for_reader(run.log, fd);
    run.written = std::make_unique<std::atomic<long long>[]>(static_cast<std::size_t>(run.count));
    run.start = Clock::now();
    std::thread writer(write_lines, std::ref(run));
    std::vector<long long> delays;
    std::string pending;
    while (static_cast<long>(delays.size()) < run.count) {
        LogPacket packet;
        if (forwarder) {
            int len = 0;
            void *bytes = read_sf_packet(fd, &len);
            if (bytes == nullptr) break;
            const long i = number_of(static_cast<unsigned char *>(bytes), len, run.count);
            std::free(bytes);
            if (i >= 0) delays.push_back(since(run.start) - run.written[i]);
            continue;
        }
        char chunk[65536];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        const long long arrived = since(run.start);
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t at = 0;
        while (read_log_line(pending.data(), pending.size(), at, packet) == nullptr) {
            const long i = number_of(packet.bytes, packet.len, run.count);
            if (i >= 0) delays.push_back(arrived - run.written[i]);
        }
        pending.erase(0, at);
    }
    writer.join();
    return print_delays(delays, run.count);
}
