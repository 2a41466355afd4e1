#include "listener.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sf_resolve.h"

int listen_on(const char *address, int port, std::string &bound, std::string &error) {
    sockaddr_in where{};
    const int failure = sf::resolve_ipv4(address, where);
    if (failure != 0) {
        error = std::string("cannot resolve ") + address + ": " + gai_strerror(failure);
        return -1;
    }
    where.sin_port = htons(static_cast<uint16_t>(port));

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    socklen_t size = sizeof where;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&where), size) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&where), &size) != 0) {
        error = std::string("cannot listen on ") + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &where.sin_addr, text, sizeof text);
    bound = std::string(text) + ":" + std::to_string(ntohs(where.sin_port));
    return fd;
}
