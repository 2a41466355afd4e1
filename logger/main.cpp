// sflogger: appends every packet a serial forwarder sends to a log file, one
// timestamped line of hex bytes per packet, until the stream ends.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "log_line.h"
#include "sfsource.h"

namespace {

// The port as atoi reads it (blanks, a sign, digits up to the first other
// character), kept to the 16 bits a port has so that long digit strings are safe.
int parse_port(const char *text) {
    const char *at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
    const bool negative = *at == '-';
    if (*at == '-' || *at == '+') ++at;
    unsigned value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) value = (value * 10 + static_cast<unsigned>(*at - '0')) & 0xFFFF;
    if (negative) value = (0x10000 - value) & 0xFFFF;
    return static_cast<int>(value);
}

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Opens the path anew for each line, so a rotated or deleted log is picked up
// at the next packet; read and append access, as fopen's "a+" gives.
bool append_line(const char *path, const char *line, std::size_t size) {
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = write_all(fd, line, size);
    const bool closed = close(fd) == 0;
    return written && closed;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "Usage: %s <host> <port> <file>- dump packets from a serial forwarder to the file\n",
                     argc > 0 && argv[0] != nullptr ? argv[0] : "sflogger");
        return 2;
    }
    const char *host = argv[1];
    const char *port = argv[2];
    const char *file = argv[3];

    const int fd = open_sf_source(host, parse_port(port));
    if (fd < 0) {
        std::fprintf(stderr, "Couldn't open serial forwarder at %s:%s\n", host, port);
        return 1;
    }
    char line[max_log_line];
    for (;;) {
        int len = 0;
        void *packet = read_sf_packet(fd, &len);
        if (packet == nullptr) return 0;
        timeval now{};
        gettimeofday(&now, nullptr);
        const std::size_t size = format_log_line(line, now, static_cast<unsigned char *>(packet), len);
        std::free(packet);
        if (!append_line(file, line, size)) {
            std::fprintf(stderr, "Couldn't write to log file %s\n", file);
            return 3;
        }
    }
}
