#include "std_fds.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

void open_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // open returns the lowest free descriptor, which is this one.
        if (open("/dev/null", O_RDWR) != fd) return;
    }
}

FilterPaths filter_paths(int count, char **operands) {
    FilterPaths paths;
    if (count > 0 && std::strcmp(operands[0], "-") != 0) paths.in = paths.in_name = operands[0];
    if (count > 1 && std::strcmp(operands[1], "-") != 0) paths.out = paths.out_name = operands[1];
    return paths;
}
