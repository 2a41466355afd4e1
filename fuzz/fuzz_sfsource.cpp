// Plays arbitrary bytes as the forwarder's side of a connection into the
// handshake and then the frame reader, and checks every result against the
// frames the bytes hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "sfsource.h"

namespace {

// More than this would not fit the socket buffer before the reader starts.
const std::size_t max_input = 65536;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

bool handshake_accepted(const uint8_t *data, std::size_t size) {
    return size >= 2 && data[0] == 0x55 && data[1] >= 0x20 && data[1] <= 0x7F;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size > max_input) return -1;
    int fds[2];
    check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    const int client = fds[0];
    const int forwarder = fds[1];
    int sndbuf = static_cast<int>(max_input) * 2;
    setsockopt(forwarder, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    check(safewrite(forwarder, data, static_cast<int>(size)) == static_cast<int>(size));
    shutdown(forwarder, SHUT_WR);

    const bool accepted = handshake_accepted(data, size);
    check((init_sf_source(client) == 0) == accepted);
    if (accepted) {
        std::size_t at = 2;
        for (;;) {
            int len = -1;
            void *packet = read_sf_packet(client, &len);
            const bool whole_frame = at < size && size - at - 1 >= data[at];
            if (!whole_frame) {
                check(packet == nullptr && len == -1);
                break;
            }
            check(packet != nullptr && len == data[at]);
            check(std::memcmp(packet, data + at + 1, static_cast<std::size_t>(len)) == 0);
            std::free(packet);
            at += 1 + static_cast<std::size_t>(len);
        }
    }
    close(client);
    close(forwarder);
    return 0;
}
