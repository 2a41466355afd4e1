// Writes a packet log of COUNT packets of SIZE pseudo-random bytes to standard
// output, a thousand packets a second from 2027-01-15, for the benchmarks.
// OFFSET microseconds, added to every timestamp, also seeds the bytes: logs
// of many gateways, each its own.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "log_line.h"

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: make_log COUNT SIZE [OFFSET]\n", stderr);
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    const int size = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    const long offset = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (count < 0 || size < 0 || size > 255 || offset < 0 || offset > 999) return 2;
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): the same log every run
    std::mt19937 random(static_cast<std::mt19937::result_type>(1 + offset));
    unsigned char packet[255];
    char line[max_log_line];
    static char buffer[1 << 20];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    for (long i = 0; i < count; ++i) {
        for (int j = 0; j < size; ++j) packet[j] = static_cast<unsigned char>(random());
        const timeval when{1800000000 + i / 1000, (i % 1000) * 1000 + offset};
        std::fwrite(line, 1, format_log_line(line, when, packet, size), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
