#ifndef SFREPLAY_LISTENER_H
#define SFREPLAY_LISTENER_H

#include <string>

// Listens on TCP over IPv4 at address (a dotted quad or host name, its first
// IPv4 address) and port (0: the system picks one). Returns the socket and sets
// bound to "A.B.C.D:PORT" as bound; or returns -1 and sets error to one line.
int listen_on(const char *address, int port, std::string &bound, std::string &error);

#endif
