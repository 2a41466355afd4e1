// The floor sflogger is measured against: per packet only the system calls the
// log requires (read the length byte, read the payload, one clock reading,
// open, one write of the line, close) and the same line formatting, nothing else.
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "log_line.h"
#include "sfsource.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fputs("usage: bare_loop HOST PORT FILE\n", stderr);
        return 2;
    }
    const int fd = open_sf_source(argv[1], static_cast<int>(std::strtol(argv[2], nullptr, 10)));
    if (fd < 0) return 1;
    unsigned char packet[255];
    char line[max_log_line];
    for (;;) {
        unsigned char len = 0;
        if (read(fd, &len, 1) != 1) return 0;
        for (int got = 0; got < len;) {
            const ssize_t n = read(fd, packet + got, static_cast<size_t>(len - got));
            if (n <= 0) return 0;
            got += static_cast<int>(n);
        }
        timeval now{};
        gettimeofday(&now, nullptr);
        const std::size_t size = format_log_line(line, now, packet, len);
        const int log = open(argv[3], O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (log < 0 || write(log, line, size) != static_cast<ssize_t>(size) || close(log) != 0) return 3;
    }
}
