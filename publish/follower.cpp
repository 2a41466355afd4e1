#include "follower.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "packet_log.h"
#include "warn.h"

namespace {

constexpr std::size_t max_files = 4;      // open at once; files moved away stay open while a resend may need them
constexpr std::size_t max_marks = 8;      // files whose lines can be found again
constexpr std::size_t print_span = 4096;  // of a file's start, when its first line is longer
constexpr std::chrono::milliseconds linger{100};  // after a rotation is seen, before the file is left
// A batch's room for lines: a well-formed line longer than this never fits.
constexpr std::size_t max_line = max_payload - 64;

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const struct stat &info, dev_t dev, ino_t ino) { return info.st_dev == dev && info.st_ino == ino; }

// FNV-1a: a file's first line is told from another's, not guarded against forgery.
std::uint64_t hash_of(const char *data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash == 0 ? 1 : hash;
}

// The print of a file whose start is [head, head + size): its first line
// with the newline, or its first print_span bytes; 0 while it has neither.
std::uint64_t print_of_start(const char *head, std::size_t size) {
    const void *newline = std::memchr(head, '\n', std::min(size, print_span));
    if (newline != nullptr)
        return hash_of(head, static_cast<std::size_t>(static_cast<const char *>(newline) - head) + 1);
    return size >= print_span ? hash_of(head, print_span) : 0;
}

// Where the file's whole lines end now: a last line without its newline is
// not shipped, so the end is after the last newline.
off_t end_of_lines(int fd) {
    struct stat info {};
    char tail[4096];
    off_t end = fstat(fd, &info) == 0 ? info.st_size : 0;
    while (end > 0) {
        const off_t from = std::max<off_t>(end - static_cast<off_t>(sizeof tail), 0);
        const ssize_t got = pread(fd, tail, static_cast<std::size_t>(end - from), from);
        if (got <= 0) return from;
        const void *newline = memrchr(tail, '\n', static_cast<std::size_t>(got));
        if (newline != nullptr) return from + (static_cast<const char *>(newline) - tail) + 1;
        end = from;
    }
    return 0;
}

std::uint64_t print_of(int fd) {
    char head[print_span];
    const ssize_t got = pread(fd, head, sizeof head, 0);
    return got <= 0 ? 0 : print_of_start(head, static_cast<std::size_t>(got));
}

}  // namespace

Follower::Follower(std::string log) : log_(std::move(log)), buffer_(max_payload) {
    const std::string folder = folder_of(log_);
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const char *failed = watch_ < 0 ? "inotify_init1" : nullptr;
    if (failed == nullptr && inotify_add_watch(watch_, folder.c_str(),
                                               IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
        failed = "inotify_add_watch";
        close(watch_);
        watch_ = -1;
    }
    // Shipping still works, a second late at most: said, since the limit on
    // inotify instances (fs.inotify.max_user_instances) is easily met.
    if (failed != nullptr)
        warn("%s: %s: %s; looking for new lines every second", folder.c_str(), failed, std::strerror(errno));
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
    const int fd = open(log_.c_str(), O_RDONLY | O_CLOEXEC);
    end_ = fd < 0 ? 0 : end_of_lines(fd);
    if (fd >= 0) close(fd);
}

bool Follower::at_end(const Position &at) const {
    if (end_ < 0) return false;
    if (end_ == 0 && end_ino_ == 0) return true;  // there was no log
    return at.dev == end_dev_ && at.ino == end_ino_ && at.offset >= end_;
}

void Follower::restore(const std::vector<FileMark> &files, Position &at) {
    // A state written before files were kept has none: its lines below the
    // acknowledged one count as gone, which costs a new epoch, never a line twice.
    marks_ = files;
    // Its file may be gone, and another have its inode: found now, before an end is set by identity.
    if (at.ino != 0) file_at(at);
}

void Follower::renumber(Position &at) {
    const auto delta = static_cast<std::int64_t>(at.seq) - 1;
    const auto own = std::find_if(marks_.begin(), marks_.end(),
                                  [&](const FileMark &mark) { return mark.dev == at.dev && mark.ino == at.ino; });
    marks_.erase(marks_.begin(), own == marks_.end() ? marks_.end() : own);  // earlier files are not in the new epoch
    for (FileMark &mark : marks_) mark.first -= delta;
    at.seq = 1;
}

FileMark *Follower::mark_of(dev_t dev, ino_t ino) {
    for (FileMark &mark : marks_)
        if (mark.dev == dev && mark.ino == ino) return &mark;
    return nullptr;
}

// The file is met at its start: its lines are numbered from first on.
void Follower::note_file(const File &file, std::int64_t first) {
    marks_.erase(std::remove_if(marks_.begin(), marks_.end(),
                                [&](const FileMark &mark) { return mark.dev == file.dev && mark.ino == file.ino; }),
                 marks_.end());
    marks_.push_back({file.dev, file.ino, print_of(file.fd), first});
    if (marks_.size() > max_marks) marks_.erase(marks_.begin());
}

// The file at path when it is the file dev, ino and, where its print is
// known, starts as that file did: an inode may be reused at once.
Follower::File *Follower::open_as(const std::string &path, dev_t dev, ino_t ino) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    const FileMark *mark = mark_of(dev, ino);
    if (fd < 0 || fstat(fd, &info) != 0 || !same_file(info, dev, ino) ||
        (mark != nullptr && mark->print != 0 && print_of(fd) != mark->print)) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    files_.push_back({dev, ino, fd, path});
    forget_old();
    return &files_.back();
}

// The file dev, ino: open already, or the log or LOG.1 when it is that file.
Follower::File *Follower::open_known(dev_t dev, ino_t ino) {
    for (File &file : files_)
        if (file.dev == dev && file.ino == ino) return &file;
    if (File *file = open_as(log_, dev, ino)) return file;
    return open_as(log_ + ".1", dev, ino);
}

void Follower::forget_old() {
    if (files_.size() <= max_files) return;
    close(files_.front().fd);
    files_.erase(files_.begin());
}

// The open file at holds a place in; or the log or LOG.1 when one is that
// file; or, when it is gone, the log from its start.
Follower::File *Follower::file_at(Position &at) {
    if (at.ino != 0) {
        if (File *file = open_known(at.dev, at.ino)) return file;
        warn("%s: the file it was on is gone, %" PRIu64 " of its lines read (line %" PRIu64
             " of the epoch next); going on with the log's start",
             log_.c_str(), at.line, at.seq);
        note_break(at.dev, at.ino, Position{0, 0, 0, 0, at.seq});  // the log's start, once there is one
        at = break_at_;
    }
    struct stat info {};
    if (stat(log_.c_str(), &info) != 0) return nullptr;  // until it is created
    marks_.erase(
        std::remove_if(marks_.begin(), marks_.end(),
                       [&](const FileMark &mark) { return mark.dev == info.st_dev && mark.ino == info.st_ino; }),
        marks_.end());  // an earlier file's inode, reused
    File *file = open_as(log_, info.st_dev, info.st_ino);
    if (file == nullptr) return nullptr;
    at = Position{file->dev, file->ino, 0, 0, at.seq};
    note_file(*file, static_cast<std::int64_t>(at.seq));
    if (broken_ && break_at_.ino == 0) break_at_ = at;
    return file;
}

// The file's start is not what it was: it was truncated, or emptied and
// written again (copytruncate). Its lines are new ones, shipped from its start.
bool Follower::replaced(File &file) {
    FileMark *mark = mark_of(file.dev, file.ino);
    const std::uint64_t print = print_of(file.fd);
    if (mark == nullptr || mark->print == print) return false;
    if (mark->print == 0) {
        mark->print = print;  // the first line came since
        return false;
    }
    return true;
}

// The file's lines from its start are new ones, in a new epoch: said by the caller.
void Follower::restart(File &file, Position &at) {
    at = Position{file.dev, file.ino, 0, 0, at.seq};
    file.named = 0;
    file.run_at = -1;
    note_file(file, static_cast<std::int64_t>(at.seq));
    note_break(file.dev, file.ino, at);
    // An end set in the old content means nothing in the new: what the file holds now.
    if (end_ >= 0 && file.dev == end_dev_ && file.ino == end_ino_) end_ = end_of_lines(file.fd);
}

void Follower::note_break(dev_t dev, ino_t ino, const Position &start) {
    broken_ = true;
    broke_dev_ = dev;
    broke_ino_ = ino;
    break_at_ = start;
}

bool Follower::take_break(Position &start) {
    if (!std::exchange(broken_, false)) return false;
    start = break_at_;
    // Marks may have been renumbered, or the file noted again, since the break.
    if (const FileMark *mark = mark_of(start.dev, start.ino)) start.seq = static_cast<std::uint64_t>(mark->first);
    return true;
}

// [at.offset, at.offset + a whole buffer) has no newline: no log line is that
// long. Named once; passes at over it once its newline comes. False while
// the file ends inside it.
bool Follower::pass_long_run(File &file, Position &at, bool quiet) {
    if (!quiet && at.offset >= file.named) {
        warn("%s:%" PRIu64 ": no newline in %zu bytes, longer than any log line; skipped", file.name.c_str(),
             at.line + 1, buffer_.size());
        file.named = at.offset + 1;
        if (on_malformed) on_malformed();
    }
    if (file.run_at != at.offset) file.run_checked = at.offset + static_cast<off_t>(buffer_.size());
    file.run_at = at.offset;
    for (;;) {
        const ssize_t got = pread(file.fd, buffer_.data(), buffer_.size(), file.run_checked);
        if (got <= 0) return false;
        const void *newline = std::memchr(buffer_.data(), '\n', static_cast<std::size_t>(got));
        if (newline == nullptr) {
            file.run_checked += got;
            continue;
        }
        at.offset = file.run_checked + (static_cast<const char *>(newline) - buffer_.data()) + 1;
        ++at.line;
        file.named = std::max(file.named, at.offset);
        file.run_at = -1;
        return true;
    }
}

// At the end of file. False while the log is still this file; otherwise
// true once at is on the log's start, after one more read of this file.
bool Follower::move_on(File &file, Position &at, bool quiet) {
    struct stat now {};
    if (stat(log_.c_str(), &now) != 0 || same_file(now, file.dev, file.ino)) return false;
    // A writer that opened the file before it moved may still be writing to
    // it: read it to its end once more, a moment later.
    const auto seen = std::chrono::steady_clock::now();
    if (!file.rotated) {
        file.rotated = true;
        file.rotated_at = seen;
        return false;
    }
    if (seen - file.rotated_at < linger) return false;
    struct stat info {};
    if (!quiet && fstat(file.fd, &info) == 0 && info.st_size > at.offset && at.offset >= file.named) {
        file.named = info.st_size;
        warn("%s:%" PRIu64 ": last line has no newline, skipped", file.name.c_str(), at.line + 1);
        if (on_malformed) on_malformed();
    }
    // The file after this one: the one marked after it, when a resend goes
    // over files read before; else LOG.1 when it was never seen (rotated
    // twice meanwhile); else the log.
    const auto own = std::find_if(marks_.begin(), marks_.end(),
                                  [&](const FileMark &mark) { return mark.dev == file.dev && mark.ino == file.ino; });
    const dev_t from_dev = file.dev;
    const ino_t from_ino = file.ino;
    if (own != marks_.end() && own + 1 != marks_.end()) {
        const FileMark after = *(own + 1);
        if (File *next = open_known(after.dev, after.ino)) {
            at = Position{after.dev, after.ino, 0, 0, at.seq};
            if (after.first != static_cast<std::int64_t>(at.seq)) note_file(*next, static_cast<std::int64_t>(at.seq));
            return true;
        }
    }
    struct stat between {};
    const std::string one = log_ + ".1";
    std::string path = log_;
    if (stat(one.c_str(), &between) == 0 && !same_file(between, from_dev, from_ino) &&
        !same_file(between, now.st_dev, now.st_ino) && mark_of(between.st_dev, between.st_ino) == nullptr) {
        now = between;
        path = one;
    }
    at = Position{now.st_dev, now.st_ino, 0, 0, at.seq};
    File *next = open_as(path, now.st_dev, now.st_ino);
    if (next != nullptr) note_file(*next, static_cast<std::int64_t>(at.seq));
    return true;
}

std::size_t Follower::walk(Position &at, std::string *out, std::size_t room, std::uint64_t stop, Mode mode) {
    const bool quiet = mode == count;
    std::size_t lines = 0;
    while (at.seq != stop && !at_end(at)) {
        File *file = file_at(at);
        // Nothing is read past a break under the numbers from before it.
        if (file == nullptr || broken_) break;
        std::size_t want = buffer_.size();
        if (end_ >= 0 && at.dev == end_dev_ && at.ino == end_ino_)
            want = std::min(want, static_cast<std::size_t>(std::max<off_t>(end_ - at.offset, 0)));
        const ssize_t got = want == 0 ? 0 : pread(file->fd, buffer_.data(), want, at.offset);
        if (got < 0) break;
        // Checked after every read, so that what was read is known to be of
        // the same file: copytruncate may have emptied and refilled it past
        // this place meanwhile, or, at its start, since its lines were sent.
        if (replaced(*file)) {
            warn("%s: its start changed (truncated or written anew) after %" PRIu64
                 " lines were read; shipping it from its start",
                 file->name.c_str(), at.line);
            restart(*file, at);
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        std::size_t used = 0;
        bool full = false;
        const char *what = nullptr;
        for (std::size_t next = 0; at.seq != stop && walk_log_line(buffer_.data(), size, next, what); used = next) {
            const std::size_t length = next - used;
            // Well formed, with digits without end: it can never go out, so
            // it is not counted either, for places found by counting.
            if (what == nullptr && length > max_line) what = "longer than a batch";
            if (what == nullptr && out != nullptr) {
                if (length > room) {
                    full = true;
                    break;
                }
                out->append(buffer_.data() + used, length);
                room -= length;
                ++lines;
            }
            if (at.offset == 0) {
                FileMark *mark = mark_of(file->dev, file->ino);
                if (mark != nullptr && mark->print == 0) mark->print = print_of_start(buffer_.data(), size);
            }
            ++at.line;
            if (what == nullptr) {
                ++at.seq;
            } else if (!quiet && at.offset >= file->named) {
                warn("%s:%" PRIu64 ": %s, skipped", file->name.c_str(), at.line, what);
                file->named = at.offset + static_cast<off_t>(length);
                if (on_malformed) on_malformed();
            }
            at.offset += static_cast<off_t>(length);
        }
        if (full) break;
        if (used > 0) continue;
        if (size == buffer_.size() && pass_long_run(*file, at, quiet)) continue;
        // The end of the file, or of what it holds so far.
        struct stat info {};
        if (size == 0 && fstat(file->fd, &info) == 0 && info.st_size < at.offset) {
            warn("%s: truncated to %lld bytes after %" PRIu64 " lines were read; shipping it from its start",
                 file->name.c_str(), static_cast<long long>(info.st_size), at.line);
            restart(*file, at);
            break;
        }
        if (end_ >= 0 && at.dev == end_dev_ && at.ino == end_ino_) break;
        if (!move_on(*file, at, quiet)) break;
    }
    return lines;
}

void Follower::settle(Position &at) {
    if (at.ino == 0) file_at(at);
}

std::size_t Follower::read(Position &at, std::string &out, std::size_t room) { return walk(at, &out, room, 0, ship); }

bool Follower::skip(Position &at, std::uint64_t to) {
    walk(at, nullptr, 0, to, count);
    return at.seq == to;
}

void Follower::find_held(std::uint64_t seq, Position &at) {
    const std::vector<FileMark> marks = marks_;  // find may note files
    for (const FileMark &mark : marks) {
        const std::uint64_t first = std::max<std::int64_t>(mark.first, static_cast<std::int64_t>(seq));
        Position place;
        if (first < at.seq && find(first, place)) {
            at = place;
            return;
        }
    }
}

bool Follower::find(std::uint64_t seq, Position &at) {
    const FileMark *mark = nullptr;
    for (const FileMark &candidate : marks_)
        if (candidate.first <= static_cast<std::int64_t>(seq)) mark = &candidate;
    if (mark == nullptr) return false;
    const dev_t dev = mark->dev;
    const ino_t ino = mark->ino;
    // Numbered from the file's first line on, even from below the epoch's line 1.
    Position place{dev, ino, 0, 0, static_cast<std::uint64_t>(mark->first)};
    if (open_known(dev, ino) == nullptr) return false;
    if (!skip(place, seq)) return false;
    at = place;
    return true;
}

std::uint64_t Follower::bytes_after(const Position &at) const {
    std::uint64_t bytes = 0;
    bool from = false;
    for (const FileMark &mark : marks_) {
        from = from || (mark.dev == at.dev && mark.ino == at.ino);
        if (!from) continue;
        for (const File &file : files_) {
            struct stat info {};
            if (file.dev != mark.dev || file.ino != mark.ino || fstat(file.fd, &info) != 0) continue;
            const off_t start = file.dev == at.dev && file.ino == at.ino ? at.offset : 0;
            if (info.st_size > start) bytes += static_cast<std::uint64_t>(info.st_size - start);
        }
    }
    return bytes;
}

bool Follower::timestamp_at(const Position &at, long long &micros) const {
    char line[1024];  // longer than any log line
    bool from = false;
    for (const FileMark &mark : marks_) {
        from = from || (mark.dev == at.dev && mark.ino == at.ino);
        if (!from) continue;
        for (const File &file : files_) {
            if (file.dev != mark.dev || file.ino != mark.ino) continue;
            const off_t start = file.dev == at.dev && file.ino == at.ino ? at.offset : 0;
            const ssize_t n = pread(file.fd, line, sizeof line, start);
            const char *end =
                n > 0 ? static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(n))) : nullptr;
            LogPacket packet;
            if (end == nullptr || parse_log_line(line, end, packet) != nullptr) continue;
            micros = packet.micros;
            return true;
        }
    }
    return false;
}
