#include "std_fds.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

void open_std_fds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // open returns the lowest free descriptor, which is this one.
        if (open("/dev/null", O_RDWR) != fd) return;
    }
}
