#include "served_log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sf_handshake.h"

namespace {

char gone_message[512];
std::size_t gone_size = 0;

// A read of a page past the end of a file that shrank raises SIGBUS.
void on_bus_error(int /*signal*/) {
    if (write(STDERR_FILENO, gone_message, gone_size) < 0) {
        // nothing more to do: the process ends either way
    }
    _exit(1);
}

// Collects frames into a bounded buffer and writes them to the frames file.
struct FramesWriter {
    int fd = -1;
    std::size_t size = 0;
    std::vector<char> buffer = std::vector<char>(1 << 20);
    std::size_t used = 0;

    bool flush() {
        if (fd >= 0 && used > 0 && write(fd, buffer.data(), used) != static_cast<ssize_t>(used)) {
            close(fd);
            fd = -1;
        }
        size += used;
        used = 0;
        return fd >= 0;
    }
};

void add_frame(const LogPacket &packet, void *context) {
    auto &writer = *static_cast<FramesWriter *>(context);
    if (writer.buffer.size() - writer.used < sf::max_frame && !writer.flush()) return;
    writer.used += sf::put_frame(&writer.buffer[writer.used], packet.bytes, packet.len);
}

int open_temporary() {
    const char *dir = std::getenv("TMPDIR");
    return open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
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
    FramesWriter writer;
    writer.fd = open_temporary();
    log.check = check_packet_log(log.text, size, writer.fd >= 0 ? add_frame : nullptr, &writer);
    log.size = log.check.size;
    if (writer.flush()) {
        log.frames = writer.fd;
        log.frames_size = writer.size;
    }
    return true;
}

bool next_packet(const ServedLog &log, std::size_t &at, LogPacket &packet) {
    return read_log_line(log.text, log.size, at, packet) == nullptr;
}
