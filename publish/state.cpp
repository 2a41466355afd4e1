#include "state.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

bool load_state(const std::string &path, PublishState &state, bool &found, std::string &error) {
    found = false;
    FILE *file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    long long offset = 0;
    Position &at = state.acked;
    const int n = std::fscanf(file, "%" SCNx64 " %" SCNu64 " %llu %llu %lld %" SCNu64, &state.epoch, &at.seq, &dev,
                              &ino, &offset, &at.line);
    std::fclose(file);
    if (n != 6 || state.epoch == 0 || at.seq == 0 || offset < 0) {
        error = path + ": not a state file of sfpublish";
        return false;
    }
    at.dev = static_cast<dev_t>(dev);
    at.ino = static_cast<ino_t>(ino);
    at.offset = static_cast<off_t>(offset);
    found = true;
    return true;
}

bool save_state(const std::string &path, const PublishState &state, std::string &error) {
    const std::string temporary = path + ".new";
    char text[160];
    const Position &at = state.acked;
    const int n = std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64 " %llu %llu %lld %" PRIu64 "\n",
                                state.epoch, at.seq, static_cast<unsigned long long>(at.dev),
                                static_cast<unsigned long long>(at.ino), static_cast<long long>(at.offset), at.line);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && write(fd, text, static_cast<std::size_t>(n)) == n;
    const bool closed = fd >= 0 && close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::uint64_t draw_epoch() {
    std::uint64_t epoch = 0;
    while (epoch == 0)
        if (getrandom(&epoch, sizeof epoch, 0) != static_cast<ssize_t>(sizeof epoch)) epoch = 0;
    return epoch;
}
