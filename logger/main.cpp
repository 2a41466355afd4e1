// sflogger: appends every packet a serial forwarder sends to a log file, one
// timestamped line of hex bytes per packet, until the stream ends.
#include <cstdio>
#include <cstdlib>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "log_file.h"
#include "log_line.h"
#include "numbers.h"
#include "sfsource.h"
#include "signals.h"
#include "std_fds.h"

namespace {

// A forwarder whose host vanishes without a word would leave the read blocked
// forever; keepalive probes notice a dead peer within two minutes and fail the
// read, which ends the stream. A live forwarder's TCP answers them however
// long it stays silent.
void keep_alive(int fd) {
    const int on = 1;
    const int idle_seconds = 60;
    const int probe_seconds = 10;
    const int probes = 6;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probe_seconds, sizeof probe_seconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    defer_ending_signals();
    if (argc != 4) {
        std::fprintf(stderr, "Usage: %s <host> <port> <file>- dump packets from a serial forwarder to the file\n",
                     argc > 0 && argv[0] != nullptr ? argv[0] : "sflogger");
        return 2;
    }
    const char *host = argv[1];
    const char *port = argv[2];
    const char *file = argv[3];

    const int fd = open_sf_source(host, port_like_atoi(port));
    if (fd < 0) {
        std::fprintf(stderr, "Couldn't open serial forwarder at %s:%s\n", host, port);
        return 1;
    }
    keep_alive(fd);
    LogFile log(file);
    char line[max_log_line];
    for (;;) {
        int len = 0;
        void *packet = read_sf_packet(fd, &len);
        if (packet == nullptr) return 0;
        timeval now{};
        gettimeofday(&now, nullptr);
        const std::size_t size = format_log_line(line, now, static_cast<unsigned char *>(packet), len);
        std::free(packet);
        if (!log.append(line, size)) {
            std::fprintf(stderr, "Couldn't write to log file %s\n", file);
            return 3;
        }
    }
}
