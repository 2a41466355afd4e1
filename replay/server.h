#ifndef SFREPLAY_SERVER_H
#define SFREPLAY_SERVER_H

#include <string>

#include "folder_watch.h"
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

// A growing log, followed by name across rotation, and the watch on its folder.
struct FollowedLog {
    const char *path = nullptr;
    FolderWatch watch;
};

// Serves each client that connects the lines written to the log after it
// connected, as they are written (paced by their timestamps with
// options.timed), until it leaves; as serve_clients otherwise.
bool follow_clients(int listener, FollowedLog &log, const ServeOptions &options, std::string &error);

#endif
