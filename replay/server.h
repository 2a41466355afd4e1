#ifndef SFREPLAY_SERVER_H
#define SFREPLAY_SERVER_H

#include <string>

#include "served_log.h"

struct ServeOptions {
    bool once = false;             // end after one client's handshake and service
    bool timed = false;            // pace frames by the gaps between timestamps
    double factor = 1.0;           // ... at this many times the recorded speed
    unsigned long long loops = 1;  // times the log is sent to each client; 0: without end
};

// Serves the log on listener to every client at once, each at its own pace,
// from one thread: non-blocking sockets under epoll. Returns true once a
// client has been served with options.once; false, with error set to one
// line, when the server itself fails. A client never ends it.
bool serve_clients(int listener, const ServedLog &log, const ServeOptions &options, std::string &error);

#endif
