// Appends RATE lines a second to LOG for SECONDS, as sflogger does (open,
// one write, close), each stamped with the time of its write, while it reads
// CENTRAL as it grows; then prints the delays from a line's write to its
// arrival in CENTRAL in milliseconds: "lines N p50 P p99 P max P".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "delays.h"
#include "log_line.h"
#include "packet_log.h"

namespace {

long long now_micros() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec;
}

void write_lines(const char *log, long rate, long count) {
    const auto start = std::chrono::steady_clock::now();
    unsigned char packet[28] = {};
    char line[max_log_line];
    for (long i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / rate));
        packet[0] = static_cast<unsigned char>(i >> 16);
        packet[1] = static_cast<unsigned char>(i >> 8);
        packet[2] = static_cast<unsigned char>(i);
        timeval when{};
        gettimeofday(&when, nullptr);
        const std::size_t size = format_log_line(line, when, packet, sizeof packet);
        const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, line, size) != static_cast<ssize_t>(size)) std::perror(log);
        if (fd >= 0) close(fd);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fputs("usage: latency LOG CENTRAL RATE SECONDS\n", stderr);
        return 2;
    }
    const long rate = std::strtol(argv[3], nullptr, 10);
    const long count = rate * std::strtol(argv[4], nullptr, 10);
    if (rate <= 0 || count <= 0) return 2;
    std::thread writer(write_lines, argv[1], rate, count);
    std::vector<long long> delays;
    std::string pending;
    int fd = -1;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(count / rate + 30);
    while (static_cast<long>(delays.size()) < count && std::chrono::steady_clock::now() < give_up) {
        if (fd < 0) fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        char chunk[65536];
        const ssize_t n = fd < 0 ? 0 : read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const long long arrived = now_micros();
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t at = 0;
        LogPacket packet;
        while (read_log_line(pending.data(), pending.size(), at, packet) == nullptr)
            delays.push_back(arrived - packet.micros);
        pending.erase(0, at);
    }
    writer.join();
    return print_delays(delays, count);
}
