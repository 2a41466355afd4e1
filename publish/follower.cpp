#include "follower.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "packet_log.h"
#include "warn.h"

namespace {

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const struct stat &info, dev_t dev, ino_t ino) { return info.st_dev == dev && info.st_ino == ino; }

}  // namespace

Follower::Follower(std::string log) : log_(std::move(log)), buffer_(max_payload) {
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && inotify_add_watch(watch_, folder_of(log_).c_str(),
                                         IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
        close(watch_);
        watch_ = -1;
    }
}

Follower::~Follower() {
    for (const File &file : files_) close(file.fd);
    if (watch_ >= 0) close(watch_);
}

void Follower::drain_events() const {
    char events[4096];
    while (watch_ >= 0 && ::read(watch_, events, sizeof events) > 0) {
    }
}

void Follower::stop_at_current_end() {
    struct stat info {};
    if (stat(log_.c_str(), &info) != 0) info.st_size = 0;
    end_dev_ = info.st_dev;
    end_ino_ = info.st_ino;
    // A last line without its newline is not shipped, so the end is after the last newline.
    char tail[4096];
    off_t end = info.st_size;
    const int fd = open(log_.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && end > 0) {
        const off_t from = std::max<off_t>(end - static_cast<off_t>(sizeof tail), 0);
        const ssize_t got = pread(fd, tail, static_cast<std::size_t>(end - from), from);
        if (got <= 0) break;
        const void *newline = memrchr(tail, '\n', static_cast<std::size_t>(got));
        if (newline != nullptr) {
            end = from + (static_cast<const char *>(newline) - tail) + 1;
            break;
        }
        end = from;
    }
    if (fd >= 0) close(fd);
    end_ = end;
}

bool Follower::at_end(const Position &at) const {
    if (end_ < 0) return false;
    if (end_ == 0 && end_ino_ == 0) return true;  // there was no log
    return at.dev == end_dev_ && at.ino == end_ino_ && at.offset >= end_;
}

Follower::File *Follower::open_as(const std::string &path, const Position &at) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !same_file(info, at.dev, at.ino)) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    files_.push_back({info.st_dev, info.st_ino, fd, path, 0});
    return &files_.back();
}

// The open file at holds a place in; or the log or LOG.1 when one is that
// file; or, when it is gone, the log from its start.
Follower::File *Follower::file_at(Position &at) {
    for (int look = 0; look < 2; ++look) {
        for (File &file : files_)
            if (file.dev == at.dev && file.ino == at.ino) return &file;
        if (look == 1) break;
        if (at.ino != 0) {
            if (File *file = open_as(log_, at)) return file;
            if (File *file = open_as(log_ + ".1", at)) return file;
            warn("%s: the file it was on is gone, %" PRIu64 " of its lines read (line %" PRIu64
                 " of the epoch next); going on with the log's start",
                 log_.c_str(), at.line, at.seq);
            at = Position{0, 0, 0, 0, at.seq};
        }
        struct stat info {};
        if (stat(log_.c_str(), &info) != 0) return nullptr;  // until it is created
        at = Position{info.st_dev, info.st_ino, 0, 0, at.seq};
    }
    return open_as(log_, at);
}

// Files moved away stay open while a resend may go back into them; only the
// oldest of many is closed.
void Follower::forget_old() {
    if (files_.size() <= max_files) return;
    close(files_.front().fd);
    files_.erase(files_.begin());
}

// At the end of file: if the log is another file now, what file still holds
// without a newline is named and at moves on to the log's start.
bool Follower::move_on(File &file, Position &at) {
    struct stat now {};
    if (stat(log_.c_str(), &now) != 0 || same_file(now, file.dev, file.ino)) return false;
    struct stat info {};
    if (fstat(file.fd, &info) == 0 && info.st_size > at.offset && at.offset >= file.reported) {
        file.reported = info.st_size;
        warn("%s:%" PRIu64 ": last line has no newline, skipped", file.name.c_str(), at.line + 1);
    }
    at = Position{now.st_dev, now.st_ino, 0, 0, at.seq};
    return true;
}

std::size_t Follower::read(Position &at, std::uint64_t skip_to, std::string &out, std::size_t room) {
    if (at_end(at)) return 0;  // not even on to a newer file
    for (int pass = 0; pass < 2; ++pass) {
        File *file = file_at(at);
        if (file == nullptr || room == 0) return 0;
        std::size_t want = std::min(room, buffer_.size());
        if (end_ >= 0 && at.dev == end_dev_ && at.ino == end_ino_)
            want = std::min(want, static_cast<std::size_t>(std::max<off_t>(end_ - at.offset, 0)));
        const ssize_t got = want == 0 ? 0 : pread(file->fd, buffer_.data(), want, at.offset);
        std::size_t lines = 0;
        std::size_t start = 0;
        LogPacket packet;
        for (const char *newline = nullptr;
             got > 0 && (newline = static_cast<const char *>(std::memchr(
                             buffer_.data() + start, '\n', static_cast<std::size_t>(got) - start))) != nullptr;) {
            const char *begin = buffer_.data() + start;
            const char *what = parse_log_line(begin, newline, packet);
            const std::size_t size = static_cast<std::size_t>(newline - begin) + 1;
            start += size;
            ++at.line;
            if (what != nullptr) {
                if (at.offset >= file->reported) {
                    warn("%s:%" PRIu64 ": %s, skipped", file->name.c_str(), at.line, what);
                    file->reported = at.offset + static_cast<off_t>(size);
                }
                at.offset += static_cast<off_t>(size);
                continue;
            }
            at.offset += static_cast<off_t>(size);
            if (at.seq++ < skip_to) {
                if (at.seq == skip_to) return 0;
                continue;
            }
            out.append(begin, size);
            ++lines;
        }
        if (lines > 0 || start > 0) return lines;
        if (got == static_cast<ssize_t>(buffer_.size())) {
            // A line longer than any batch: no log line is that long.
            warn("%s:%" PRIu64 ": line too long, skipped", file->name.c_str(), at.line + 1);
            at.offset += got;
            return 0;
        }
        if (!move_on(*file, at)) return 0;
        forget_old();
    }
    return 0;
}
