#include "log_file.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_line.h"
#include "packet_log.h"
#include "signals.h"

namespace {

// Read and append access, as fopen's "a+" gives: a log that may be written
// but not read is refused as before.
const int regular_flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC;
const time_t quiet_seconds = 1;  // a line being written is whole within this

bool same_time(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool quiet_since(const timespec &when) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - when.tv_sec > quiet_seconds ||
           (now.tv_sec - when.tv_sec == quiet_seconds && now.tv_nsec >= when.tv_nsec);
}

// A log whose tail has no newline may end in what a killed logger left of its
// last line: never a whole packet, and a line appended behind it would be
// corrupt, so it goes. Another logger appending to the same file may be in the
// middle of a line, though, so only a tail that has not changed for a second
// is cut. A tail that no logger could have written (foreign text, or longer
// than any line) is kept: it only gets the newline that keeps the next line
// apart, since the log is otherwise only ever appended to.
bool drop_fragment(int fd) {
    off_t seen_size = -1;
    timespec seen_time{};
    for (int look = 0; look < 4; ++look) {
        struct stat info {};
        if (fstat(fd, &info) != 0) return false;
        if (info.st_size == 0) return true;
        char tail[max_log_line];
        const off_t size = std::min(info.st_size, static_cast<off_t>(sizeof tail));
        if (pread(fd, tail, static_cast<size_t>(size), info.st_size - size) != size) return false;
        if (tail[size - 1] == '\n') return true;
        off_t start = size - 1;
        while (start > 0 && tail[start - 1] != '\n') --start;
        const bool whole_tail = start > 0 || size == info.st_size;
        if (!whole_tail || !could_start_log_line(tail + start, tail + size)) return write(fd, "\n", 1) == 1;
        if (quiet_since(info.st_mtim) || (info.st_size == seen_size && same_time(info.st_mtim, seen_time)))
            return ftruncate(fd, info.st_size - size + start) == 0;
        seen_size = info.st_size;
        seen_time = info.st_mtim;
        const timespec pause{quiet_seconds, 0};
        nanosleep(&pause, nullptr);
    }
    return true;  // still changing: its writer is alive and will end the line
}

// Writes the line with the ending signals held off. A second write loop beside
// safewrite's, since that one would cost a failing send per packet. If the
// line does not go out whole, what did is cut off again, but only while the
// file still ends with it: bytes another logger appended behind it stay.
bool write_line(int fd, const char *line, std::size_t size) {
    hold_ending_signals();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, line + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done > 0 && done < size) {
        const off_t end = lseek(fd, 0, SEEK_CUR);  // with O_APPEND, where this line's bytes end
        struct stat info {};
        if (end >= static_cast<off_t>(done) && fstat(fd, &info) == 0 && info.st_size == end) {
            // Should the cut fail too, the next run's first line removes the fragment.
            [[maybe_unused]] const int cut = ftruncate(fd, end - static_cast<off_t>(done));
        }
    }
    release_ending_signals();
    return done == size;
}

}  // namespace

LogFile::~LogFile() {
    if (pipe_ >= 0) close(pipe_);
}

// The first line of a run decides the kind of log. A FIFO is opened for
// writing only and kept; not waiting for a reader makes one that is missing a
// failure rather than a hang. Returns the descriptor to write, or -1.
int LogFile::open_first() {
    first_ = false;
    struct stat info {};
    if (stat(path_, &info) == 0 && S_ISFIFO(info.st_mode)) {
        pipe_ = open(path_, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (pipe_ < 0) return -1;
        const int flags = fcntl(pipe_, F_GETFL);
        return flags >= 0 && fcntl(pipe_, F_SETFL, flags & ~O_NONBLOCK) == 0 ? pipe_ : -1;
    }
    const int fd = open(path_, regular_flags, 0666);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || drop_fragment(fd)) return fd;
    close(fd);
    return -1;
}

bool LogFile::append(const char *line, std::size_t size) {
    if (pipe_ >= 0) return write_line(pipe_, line, size);
    const int fd = first_ ? open_first() : open(path_, regular_flags, 0666);
    if (fd < 0) return false;
    if (fd == pipe_) return write_line(pipe_, line, size);
    const bool written = write_line(fd, line, size);
    const bool closed = close(fd) == 0;
    return written && closed;
}
