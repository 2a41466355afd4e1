#ifndef SFREPLAY_SERVED_LOG_H
#define SFREPLAY_SERVED_LOG_H

#include <cstddef>
#include <string>

#include "packet_log.h"

// A packet log mapped into memory, served from the file itself, so nothing
// that grows with the log is kept in the process's own memory. Its frames are
// also written once to a temporary file (unlinked, in TMPDIR or /tmp), from
// which clients that need no pacing are sent them without any parsing.
struct ServedLog {
    const char *path = nullptr;
    const char *text = nullptr;
    std::size_t size = 0;  // the part that is served: whole, checked lines
    LogCheck check;
    int frames = -1;  // the frames file, or -1 when it could not be written
    std::size_t frames_size = 0;
};

// Maps and checks the log at path. False, with error set to one line, when it
// cannot be read. A log that shrinks while mapped ends the process with one
// line on standard error instead of a crash.
bool map_log(const char *path, ServedLog &log, std::string &error);

// The line at text + at, parsed into packet; at moves past its newline. False
// when the line no longer parses: the file changed while being served.
bool next_packet(const ServedLog &log, std::size_t &at, LogPacket &packet);

#endif
