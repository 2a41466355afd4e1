#include "read_at.h"

#include <cerrno>

#include <unistd.h>

long read_at(int fd, std::uint64_t offset, char *data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}
