// The floor sfreplay is measured against: the log's frames built in memory
// beforehand, then written LOOPS times to each client in 64 KiB writes, a
// thread a client, nothing else. Serves CLIENTS clients, then exits.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packet_log.h"
#include "sfsource.h"

namespace {

std::string frames_of(const char *path) {
    const int fd = open(path, O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size == 0) return "";
    const auto *text = static_cast<const char *>(mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE, fd, 0));
    const LogCheck check = check_packet_log(text, info.st_size);
    std::string frames;
    LogPacket packet;
    for (std::size_t at = 0; at < check.size;) {
        const char *end = static_cast<const char *>(std::memchr(text + at, '\n', check.size - at));
        parse_log_line(text + at, end, packet);
        frames += static_cast<char>(packet.len);
        frames.append(reinterpret_cast<const char *>(packet.bytes), packet.len);
        at = static_cast<std::size_t>(end - text) + 1;
    }
    return frames;
}

void serve(int fd, const std::string &frames, int loops) {
    if (init_sf_source(fd) == 0)
        for (int loop = 0; loop < loops; ++loop)
            for (std::size_t at = 0; at < frames.size(); at += 65536)
                if (safewrite(fd, frames.data() + at,
                              static_cast<int>(std::min<std::size_t>(65536, frames.size() - at))) < 0)
                    loop = loops;
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fputs("usage: bare_sender CLIENTS LOOPS FILE\n", stderr);
        return 2;
    }
    const int clients = static_cast<int>(std::strtol(argv[1], nullptr, 10));
    const int loops = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    const std::string frames = frames_of(argv[3]);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return 1;
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(clients));
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(serve, accept(listener, nullptr, nullptr), std::cref(frames), loops);
    for (std::thread &thread : threads) thread.join();
}
