// sfreplay: a serial forwarder that serves a packet log, as sflogger writes
// it, to each client in turn.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listener.h"
#include "packet_log.h"
#include "sfsource.h"
#include "std_fds.h"

namespace {

const char usage[] = "usage: sfreplay [-b ADDRESS] [-1] [-t] PORT FILE\n";
const int handshake_seconds = 10;  // a silent client must not hold up the ones behind it

struct Options {
    const char *address = "127.0.0.1";
    bool once = false;
    bool timed = false;
    int port = -1;
    const char *file = nullptr;
};

bool parse_port(const char *text, int &port) {
    port = 0;
    const char *at = text;
    for (; *at >= '0' && *at <= '9' && port <= 65535; ++at) port = port * 10 + (*at - '0');
    return at != text && *at == '\0' && port <= 65535;
}

bool parse_options(int argc, char **argv, Options &options) {
    opterr = 0;
    for (int option; (option = getopt(argc, argv, "b:1t")) != -1;) {
        if (option == 'b')
            options.address = optarg;
        else if (option == '1')
            options.once = true;
        else if (option == 't')
            options.timed = true;
        else
            return false;
    }
    if (argc - optind != 2 || !parse_port(argv[optind], options.port)) return false;
    options.file = argv[optind + 1];
    return true;
}

bool read_whole(const char *path, std::string &text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[65536];
    int n = 0;
    do {
        n = saferead(fd, chunk, sizeof chunk);
        if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
    } while (n == static_cast<int>(sizeof chunk));
    const int saved = errno;
    close(fd);
    errno = saved;
    return n >= 0;
}

void sleep_until(const timespec &start, long long offset_micros) {
    const long long nanos = start.tv_nsec + offset_micros * 1000;
    const timespec when{static_cast<time_t>(start.tv_sec + nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

// Sends every packet as a frame, stopping once the client has gone.
void send_packets(int fd, const std::vector<Packet> &packets, bool timed) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (const Packet &packet : packets) {
        if (timed && packet.micros > packets.front().micros) sleep_until(start, packet.micros - packets.front().micros);
        if (write_sf_packet(fd, packet.bytes.data(), static_cast<int>(packet.bytes.size())) != 0) return;
    }
}

// Serves one client; true when its handshake succeeded.
bool serve(int fd, const std::vector<Packet> &packets, bool timed) {
    const timeval limit{handshake_seconds, 0};
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a frame is two small writes
    if (init_sf_source(fd) != 0) return false;
    send_packets(fd, packets, timed);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string text;
    if (!read_whole(options.file, text)) {
        std::fprintf(stderr, "sfreplay: %s: %s\n", options.file, std::strerror(errno));
        return 1;
    }
    std::vector<Packet> packets;
    const LogError error = parse_packet_log(text, packets);
    if (error.line != 0) {
        std::fprintf(stderr, "sfreplay: %s:%zu: %s\n", options.file, error.line, error.what.c_str());
        return 2;
    }
    std::string bound;
    std::string why;
    const int listener = listen_on(options.address, options.port, bound, why);
    if (listener < 0) {
        std::fprintf(stderr, "sfreplay: %s\n", why.c_str());
        return 1;
    }
    std::printf("listening on %s\n", bound.c_str());
    std::fflush(stdout);
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::fprintf(stderr, "sfreplay: accept: %s\n", std::strerror(errno));
            return 1;
        }
        const bool served = serve(fd, packets, options.timed);
        close(fd);
        if (served && options.once) return 0;
    }
}
