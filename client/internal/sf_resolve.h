// Host names to IPv4 addresses, for the client and for servers alike.
// Internal to this tree, never installed.
#ifndef SF_INTERNAL_RESOLVE_H
#define SF_INTERNAL_RESOLVE_H

#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace sf {

// Sets address to host's first IPv4 address (a dotted quad or a name), its
// port left 0. Returns 0, or getaddrinfo's error code for gai_strerror.
inline int resolve_ipv4(const char *host, sockaddr_in &address) {
    if (host == nullptr) return EAI_NONAME;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int failure = getaddrinfo(host, nullptr, &hints, &found);
    if (failure != 0) return failure;
    // A resolver that answers with anything but an IPv4 address is not trusted with the copy.
    const bool fits = found->ai_family == AF_INET && found->ai_addrlen == sizeof address;
    if (fits) std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    return fits ? 0 : EAI_FAMILY;
}

}  // namespace sf

#endif
