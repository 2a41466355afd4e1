#include "log_tail.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_line.h"

TailStep decide_tail(const TailLook &look) {
    if (!look.open) return look.named ? TailStep::open_named : TailStep::wait;
    if (look.shrunk) return TailStep::start_over;
    if (look.line_waits) return TailStep::read;
    if (look.named_same) return TailStep::wait;
    if (!look.moved_seen) return TailStep::note_moved;
    return look.lingered ? TailStep::leave : TailStep::linger;
}

LogTail::LogTail(std::string path, Start start) : path_(std::move(path)), start_(start) {}

LogTail::~LogTail() { close_file(); }

void LogTail::note(const std::string &text) const {
    if (on_note) on_note(text);
}

void LogTail::close_file() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
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
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0) {
        const int failed = errno;
        if (failed != ENOENT) note("open " + path_ + ": " + std::strerror(failed));
        close_file();
        return failed;
    }
    if (info.st_dev != named.st_dev || info.st_ino != named.st_ino || !S_ISREG(info.st_mode)) {
        close_file();
        return 0;
    }
    dev_ = info.st_dev;
    ino_ = info.st_ino;
    at_ = 0;
    head_size_ = 0;
    moved_seen_ = false;
    if (start_ == from_end) seek_last_line(info.st_size);
    start_ = from_start;
    return 0;
}

LogTail::Result LogTail::read(char *data, std::size_t room, std::size_t &size) {
    // Each pass settles one step; a log changing faster than that is looked at again.
    for (int pass = 0; pass < 8; ++pass) {
        TailLook look;
        look.open = fd_ >= 0;
        off_t file_size = 0;
        if (look.open) {
            struct stat info {};
            if (fstat(fd_, &info) != 0) {
                note("fstat " + path_ + ": " + std::strerror(errno));
                close_file();
                continue;
            }
            file_size = info.st_size;
            look.shrunk = file_size < at_ || !same_head(file_size);
            if (!look.shrunk && file_size > at_) {
                const std::size_t want = static_cast<std::size_t>(std::min<off_t>(file_size - at_, room));
                const ssize_t n = pread(fd_, data, want, at_);
                if (n < 0) {
                    note("read " + path_ + ": " + std::strerror(errno));
                    close_file();
                    continue;
                }
                const void *last = memrchr(data, '\n', static_cast<std::size_t>(n));
                if (last != nullptr) {
                    size = static_cast<std::size_t>(static_cast<const char *>(last) - data) + 1;
                    look.line_waits = true;
                } else if (static_cast<std::size_t>(n) == room) {
                    note(path_ + ": " + std::to_string(room) + " bytes without a newline at byte " +
                         std::to_string(at_) + ", passed over");
                    at_ += n;
                    continue;
                }
            }
        }
        struct stat named {};
        if (!look.shrunk && !look.line_waits) {
            look.named = stat(path_.c_str(), &named) == 0 && S_ISREG(named.st_mode);
            look.named_same = look.open && look.named && named.st_dev == dev_ && named.st_ino == ino_;
            if (look.named_same) moved_seen_ = false;
        }
        const auto now = std::chrono::steady_clock::now();
        look.moved_seen = moved_seen_;
        look.lingered = now - moved_at_ >= linger;
        switch (decide_tail(look)) {
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
                return none;
            case TailStep::start_over:
                note(path_ + ": truncated or written anew; read again from its start");
                at_ = 0;
                head_size_ = 0;
                break;
            case TailStep::read:
                return lines;
            case TailStep::note_moved:
                moved_seen_ = true;
                moved_at_ = now;
                retry_at_ = now + linger;
                return later;
            case TailStep::linger:
                retry_at_ = moved_at_ + linger;
                return later;
            case TailStep::leave:
                if (file_size > at_)
                    note(path_ + ": " + std::to_string(file_size - at_) +
                         " bytes without a newline at the end of the file left, not served");
                close_file();
                moved_seen_ = false;
                break;
        }
    }
    retry_at_ = std::chrono::steady_clock::now();
    return later;
}
