#include "log_tail.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_line.h"

TailStep decide_tail(const TailLook &look) {
    if (look.earlier && look.earlier_line) return TailStep::read_earlier;
    if (look.earlier && look.earlier_done) return TailStep::close_earlier;
    if (!look.open) return look.named ? TailStep::open_named : TailStep::wait;
    if (look.shrunk) return TailStep::start_over;
    if (look.line_waits) return TailStep::read;
    return look.named_same ? TailStep::wait : TailStep::set_aside;
}

LogTail::LogTail(std::string path, Start start) : path_(std::move(path)), start_(start) {}

LogTail::~LogTail() {
    if (fd_ >= 0) close(fd_);
    if (earlier_fd_ >= 0) close(earlier_fd_);
}

void LogTail::note(const std::string &text) const {
    if (on_note) on_note(text);
}

// Whether the file still starts with the bytes it started with; a file
// emptied and written anew past the place reached between two looks does not
// (to the same size, even: so it is read at every look).
bool LogTail::same_head(off_t size) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size, head_room));
    if (want < head_size_) return false;
    char now[head_room];
    if (want == 0) return true;
    if (pread(fd_, now, want, 0) != static_cast<ssize_t>(want) || std::memcmp(now, head_, head_size_) != 0)
        return false;
    std::memcpy(head_, now, want);
    head_size_ = want;
    return true;
}

// After the last whole line within the last max_log_line bytes, so that a
// line being written is served whole.
void LogTail::seek_last_line(off_t size) {
    const off_t from = std::max<off_t>(0, size - static_cast<off_t>(max_log_line));
    char tail[max_log_line];
    const ssize_t n = pread(fd_, tail, static_cast<std::size_t>(size - from), from);
    at_ = size;
    if (n != size - from) return;
    const void *last = memrchr(tail, '\n', static_cast<std::size_t>(n));
    if (last != nullptr)
        at_ = from + (static_cast<const char *>(last) - tail) + 1;
    else if (from == 0)
        at_ = 0;
}

// 0, also when another file took the name meanwhile (looked at again); or
// why the open failed.
int LogTail::open_named(const struct stat &named) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        const int failed = errno;
        if (failed != ENOENT && failed != failed_) note("open " + path_ + ": " + std::strerror(failed));
        failed_ = failed;  // told once, not at every try
        if (fd >= 0) close(fd);
        return failed;
    }
    if (info.st_dev != named.st_dev || info.st_ino != named.st_ino || !S_ISREG(info.st_mode)) {
        close(fd);
        return 0;
    }
    failed_ = 0;
    fd_ = fd;
    dev_ = info.st_dev;
    ino_ = info.st_ino;
    at_ = 0;
    head_size_ = 0;
    if (start_ == from_end) seek_last_line(info.st_size);
    start_ = from_start;
    return 0;
}

// The size of the whole lines at at, read into data; 0 when there are none.
// A run of room bytes without a newline is noted and passed over.
std::size_t LogTail::lines_at(int fd, off_t &at, off_t size, char *data, std::size_t room) {
    while (size > at) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size - at, static_cast<off_t>(room)));
        const ssize_t n = pread(fd, data, want, at);
        if (n <= 0) {
            if (n < 0) note("read " + path_ + ": " + std::strerror(errno));
            return 0;
        }
        const void *last = memrchr(data, '\n', static_cast<std::size_t>(n));
        if (last != nullptr) return static_cast<std::size_t>(static_cast<const char *>(last) - data) + 1;
        if (static_cast<std::size_t>(n) < room) return 0;
        note(path_ + ": " + std::to_string(room) + " bytes without a newline at byte " + std::to_string(at) +
             ", passed over");
        at += n;
    }
    return 0;
}

void LogTail::close_earlier(off_t size) {
    if (size > earlier_at_)
        note(path_ + ": " + std::to_string(size - earlier_at_) +
             " bytes without a newline at the end of the file left, not served");
    close(earlier_fd_);
    earlier_fd_ = -1;
}

LogTail::Result LogTail::read(char *data, std::size_t room, std::size_t &size) {
    const auto now = std::chrono::steady_clock::now();
    // Each pass settles one step; a log changing faster than that is looked at again.
    for (int pass = 0; pass < 8; ++pass) {
        TailLook look;
        struct stat info {};
        off_t earlier_size = 0;
        look.earlier = earlier_fd_ >= 0;
        look.earlier_done = now - earlier_since_ >= linger;
        if (look.earlier && fstat(earlier_fd_, &info) == 0) {
            earlier_size = info.st_size;
            size = lines_at(earlier_fd_, earlier_at_, earlier_size, data, room);
            look.earlier_line = size > 0;
        }
        look.open = fd_ >= 0;
        if (!look.earlier_line && look.open) {
            if (fstat(fd_, &info) != 0) {
                note("fstat " + path_ + ": " + std::strerror(errno));
                close(fd_);
                fd_ = -1;
                continue;
            }
            look.shrunk = info.st_size < at_ || !same_head(info.st_size);
            if (!look.shrunk) {
                size = lines_at(fd_, at_, info.st_size, data, room);
                look.line_waits = size > 0;
            }
        }
        struct stat named {};
        if (!look.earlier_line && !look.shrunk && !look.line_waits) {
            look.named = stat(path_.c_str(), &named) == 0 && S_ISREG(named.st_mode);
            look.named_same = look.open && look.named && named.st_dev == dev_ && named.st_ino == ino_;
        }
        switch (decide_tail(look)) {
            case TailStep::read_earlier:
                from_earlier_ = true;
                return lines;
            case TailStep::close_earlier:
                close_earlier(earlier_size);
                break;
            case TailStep::open_named: {
                const int failed = open_named(named);
                if (failed == ENOENT) return none;
                if (failed != 0) {
                    retry_at_ = now + linger;  // out of descriptors, say: tried again
                    return later;
                }
                break;
            }
            case TailStep::wait:
                if (!look.open) start_ = from_start;  // a log made after this is new from its start
                if (!look.earlier) return none;
                retry_at_ = earlier_since_ + linger;
                return later;
            case TailStep::start_over:
                note(path_ + ": truncated or written anew; read again from its start");
                at_ = 0;
                head_size_ = 0;
                break;
            case TailStep::read:
                from_earlier_ = false;
                return lines;
            case TailStep::set_aside:
                if (earlier_fd_ >= 0) close_earlier(earlier_size);  // renamed twice within the linger time
                earlier_fd_ = fd_;
                earlier_at_ = at_;
                earlier_since_ = now;
                fd_ = -1;
                break;
        }
    }
    retry_at_ = now;
    return later;
}
