#include "served_log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char gone_message[512];
std::size_t gone_size = 0;

// A read of a page past the end of a file that shrank raises SIGBUS.
void on_bus_error(int) {
    if (write(STDERR_FILENO, gone_message, gone_size) < 0) {
        // nothing more to do: the process ends either way
    }
    _exit(1);
}

[[noreturn]] void report_change(const char *path) {
    std::fprintf(stderr, "sfreplay: %s: changed while being served\n", path);
    std::exit(1);
}

}  // namespace

bool map_log(const char *path, ServedLog &log, std::string &error) {
    log.path = path;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = std::string(path) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = std::string(path) + ": not a regular file";
        close(fd);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    void *map = size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int saved = errno;
    close(fd);
    if (map == MAP_FAILED) {
        error = std::string(path) + ": " + std::strerror(saved);
        return false;
    }
    const int n =
        std::snprintf(gone_message, sizeof gone_message, "sfreplay: %s: cut short while being served\n", path);
    gone_size = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof gone_message - 1);
    std::signal(SIGBUS, on_bus_error);
    log.text = static_cast<const char *>(map);
    log.check = check_packet_log(log.text, size);
    log.size = log.check.size;
    return true;
}

void next_packet(const ServedLog &log, std::size_t &at, LogPacket &packet) {
    const char *start = log.text + at;
    const void *newline = std::memchr(start, '\n', log.size - at);
    if (newline == nullptr) report_change(log.path);
    const char *end = static_cast<const char *>(newline);
    if (parse_log_line(start, end, packet) != nullptr) report_change(log.path);
    at += static_cast<std::size_t>(end - start) + 1;
}
