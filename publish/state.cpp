#include "state.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "contract.h"
#include "numbers.h"

bool load_state(const std::string &path, PublishState &state, bool &found, std::string &error) {
    found = false;
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> words = words_of(line);
    unsigned long long numbers[5] = {};
    bool fits = words.size() == 6 && parse_epoch(words[0], state.epoch) && state.epoch != 0;
    for (std::size_t i = 1; fits && i < 6; ++i) fits = parse_number(words[i].c_str(), LLONG_MAX, numbers[i - 1]);
    if (!fits || numbers[0] == 0) {
        error = path + ": not a state file of sfpublish";
        return false;
    }
    Position &at = state.acked;
    at.seq = numbers[0];
    at.dev = static_cast<dev_t>(numbers[1]);
    at.ino = static_cast<ino_t>(numbers[2]);
    at.offset = static_cast<off_t>(numbers[3]);
    at.line = numbers[4];
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
