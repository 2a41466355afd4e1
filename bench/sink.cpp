// Connects CLIENTS clients to a forwarder at once, reads every one to its end
// as fast as it can, and prints "FRAMES SECONDS": the frames received in all
// (counted by walking the frames) and the time from the first connect to the
// last end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "sfsource.h"

namespace {

struct Stream {
    int fd;
    long skip = 0;  // payload bytes still to pass before the next length byte
    long frames = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: sink CLIENTS PORT\n", stderr);
        return 2;
    }
    const int clients = static_cast<int>(std::strtol(argv[1], nullptr, 10));
    const auto start = std::chrono::steady_clock::now();
    std::vector<Stream> streams;
    std::vector<pollfd> fds;
    for (int i = 0; i < clients; ++i) {
        const int fd = open_sf_source("127.0.0.1", static_cast<int>(std::strtol(argv[2], nullptr, 10)));
        if (fd < 0) return 1;
        streams.push_back({fd});
        fds.push_back({fd, POLLIN, 0});
    }
    static unsigned char buffer[1 << 18];
    for (int open = clients; open > 0;) {
        if (poll(fds.data(), fds.size(), 60000) <= 0) return 1;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            Stream &s = streams[i];
            long at = s.skip;
            while (at < n) {
                ++s.frames;
                at += 1 + buffer[at];
            }
            s.skip = at - n;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long frames = 0;
    for (const Stream &s : streams) frames += s.frames;
    std::printf("%ld %.3f\n", frames, seconds);
}
