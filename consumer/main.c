/* A C program using the installed sfsource: it plays both sides of a
 * connection over a socketpair and prints "ok" when every call behaves. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sfsource.h>

int main(void) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
    /* The handshake is symmetric, so the peer's pair can be sent ahead. */
    if (safewrite(fds[1], "U ", 2) != 2 || write_sf_packet(fds[1], "\x01\xab\xff", 3) != 0) return 2;
    if (init_sf_source(fds[0]) != 0) return 3;
    char pair[2];
    if (saferead(fds[1], pair, 2) != 2 || memcmp(pair, "U ", 2) != 0) return 4;
    int len = -1;
    unsigned char *packet = read_sf_packet(fds[0], &len);
    if (packet == NULL || len != 3 || memcmp(packet, "\x01\xab\xff", 3) != 0) return 5;
    free(packet);
    close(fds[1]);
    if (read_sf_packet(fds[0], &len) != NULL || len != 3) return 6;
    if (open_sf_source("no-such-host.invalid", 1) >= 0) return 7;
    close(fds[0]);
    puts("ok");
    return 0;
}
