#include "sfsource.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sf_handshake.h"
#include "sf_resolve.h"

namespace {

// Repeats one-shot transfers until count bytes have moved, absorbing EINTR.
// A zero result ends a read stream; for a write it means no progress, reported
// as an error instead of retried forever.
template <typename Byte, typename Once>
int transfer(Byte *at, int count, bool zero_ends_stream, Once once) {
    int actual = 0;
    while (count > 0) {
        ssize_t n = once(at, static_cast<size_t>(count));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return zero_ends_stream ? actual : -1;
        at += n;
        count -= static_cast<int>(n);
        actual += static_cast<int>(n);
    }
    return actual;
}

// write(2) for descriptors that are not sockets (pipes): SIGPIPE is held back
// for the call and, if this write raised it, discarded, so a gone reader gives
// EPIPE instead of killing the caller. A write that moved some bytes before the
// reader left returns their count and raises SIGPIPE all the same.
ssize_t write_quietly(int fd, const char *at, size_t count) {
    sigset_t pipe_only;
    sigset_t old;
    sigset_t pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t n = write(fd, at, count);
    const int saved = errno;
    if (!was_pending) {
        const timespec now{};
        sigtimedwait(&pipe_only, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n;
}

}  // namespace

extern "C" {

int saferead(int fd, void *buffer, int count) {
    return transfer(static_cast<char *>(buffer), count, true, [fd](char *at, size_t n) { return read(fd, at, n); });
}

int safewrite(int fd, const void *buffer, int count) {
    bool socket = true;
    return transfer(static_cast<const char *>(buffer), count, false, [fd, &socket](const char *at, size_t n) {
        if (socket) {
            ssize_t sent = send(fd, at, n, MSG_NOSIGNAL);
            if (sent >= 0 || errno != ENOTSOCK) return sent;
            socket = false;
        }
        return write_quietly(fd, at, n);
    });
}

int open_sf_source(const char *host, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fd;
    sockaddr_in address{};
    if (sf::resolve_ipv4(host, address) != 0) {
        close(fd);
        return -1;
    }
    address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || init_sf_source(fd) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int init_sf_source(int fd) {
    if (safewrite(fd, sf::our_pair, 2) != 2) return -1;
    unsigned char pair[2];
    if (saferead(fd, pair, 2) != 2) return -1;
    return sf::accepts_pair(pair) ? 0 : -1;
}

void *read_sf_packet(int fd, int *len) {
    unsigned char length;
    if (saferead(fd, &length, 1) != 1) return nullptr;
    // At least one byte, so an empty packet is never mistaken for none.
    void *packet = std::malloc(length == 0 ? 1 : length);
    if (packet == nullptr) return nullptr;
    if (saferead(fd, packet, length) != length) {
        std::free(packet);
        return nullptr;
    }
    *len = length;
    return packet;
}

int write_sf_packet(int fd, const void *packet, int len) {
    // One write for the whole frame, so that a failure cannot leave a length
    // byte on the wire without its payload, and a peer reads the frame at once.
    char frame[sf::max_frame];
    const int size = static_cast<int>(sf::put_frame(frame, static_cast<const unsigned char *>(packet), len & 0xFF));
    return safewrite(fd, frame, size) == size ? 0 : -1;
}

}  // extern "C"
