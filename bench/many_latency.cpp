// Appends RATE lines a second to each of GATEWAYS logs LOGS/gwI/gwI.log (I
// from 1) for SECONDS, as sflogger does (open, one write, close), each line
// stamped with the time of its write and the gateways' writes spread evenly
// over each second, while it reads CENTRAL/gwI.log as they grow; then prints
// the delays from a line's write to its arrival in the central logs in
// milliseconds: "lines N p50 P p99 P max P". It reads a central log when
// inotify says it was written, so that it takes little of the CPU it measures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
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

std::string central_path(const char *folder, long gateway) {
    return std::string(folder) + "/gw" + std::to_string(gateway) + ".log";
}

// Each gateway's log in a folder of its own, as on a gateway of its own:
// sfpublish watches its log's folder.
std::string log_path(const char *folder, long gateway) {
    return std::string(folder) + "/gw" + std::to_string(gateway) + "/gw" + std::to_string(gateway) + ".log";
}

void write_lines(const char *folder, long gateways, long rate, long seconds) {
    const auto start = std::chrono::steady_clock::now();
    const long total = gateways * rate * seconds;
    unsigned char packet[28] = {};
    char line[max_log_line];
    for (long i = 0; i < total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / (gateways * rate)));
        const long n = i / gateways;
        packet[0] = static_cast<unsigned char>(n >> 16);
        packet[1] = static_cast<unsigned char>(n >> 8);
        packet[2] = static_cast<unsigned char>(n);
        timeval when{};
        gettimeofday(&when, nullptr);
        const std::size_t size = format_log_line(line, when, packet, sizeof packet);
        const std::string log = log_path(folder, i % gateways + 1);
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, line, size) != static_cast<ssize_t>(size)) std::perror(log.c_str());
        if (fd >= 0) close(fd);
    }
}

struct Central {
    int fd = -1;
    std::string pending;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fputs("usage: many_latency LOGS CENTRAL GATEWAYS RATE SECONDS\n", stderr);
        return 2;
    }
    const long gateways = std::strtol(argv[3], nullptr, 10);
    const long rate = std::strtol(argv[4], nullptr, 10);
    const long seconds = std::strtol(argv[5], nullptr, 10);
    if (gateways <= 0 || rate <= 0 || seconds <= 0) return 2;
    const long count = gateways * rate * seconds;
    std::thread writer(write_lines, argv[1], gateways, rate, seconds);
    std::vector<long long> delays;
    std::vector<Central> centrals(static_cast<std::size_t>(gateways));
    // Woken by the collector's writes rather than polling every central log.
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, argv[2], IN_MODIFY) < 0) {
        std::perror(argv[2]);
        return 1;
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 30);
    while (static_cast<long>(delays.size()) < count && std::chrono::steady_clock::now() < give_up) {
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0) continue;
        alignas(inotify_event) char events[65536];
        const ssize_t size = read(watch, events, sizeof events);
        const long long arrived = now_micros();
        for (ssize_t at = 0; at < size;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const long g = event->len > 2 ? std::strtol(event->name + 2, nullptr, 10) - 1 : -1;
            if (g < 0 || g >= gateways) continue;
            Central &central = centrals[static_cast<std::size_t>(g)];
            if (central.fd < 0) central.fd = open(central_path(argv[2], g + 1).c_str(), O_RDONLY | O_CLOEXEC);
            char chunk[65536];
            for (ssize_t n; central.fd >= 0 && (n = read(central.fd, chunk, sizeof chunk)) > 0;)
                central.pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t used = 0;
            LogPacket packet;
            while (read_log_line(central.pending.data(), central.pending.size(), used, packet) == nullptr)
                delays.push_back(arrived - packet.micros);
            central.pending.erase(0, used);
        }
    }
    writer.join();
    return print_delays(delays, count);
}
