#include "follower.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "file_print.h"
#include "packet_log.h"
#include "warn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t max_files = 4;   // open at once; files moved away stay open while a resend may need them
constexpr std::size_t max_marks = 64;  // files whose lines can be found again: more than logrotate keeps
// After a file is seen to be the log no longer, before it is left: a writer
// that opened it before it moved may still be writing to it.
constexpr std::chrono::milliseconds linger{100};
constexpr std::chrono::milliseconds first_retry{100};
constexpr std::chrono::milliseconds last_retry{5000};
constexpr std::chrono::milliseconds without_inotify{100};
constexpr std::chrono::milliseconds with_inotify{1000};
// A batch's room for lines: a well-formed line longer than this never fits.
constexpr std::size_t max_line = max_payload - 64;

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string errno_text(const char *call, const std::string &name) {
    return std::string(call) + " " + name + ": " + std::strerror(errno);
}

ssize_t pread_fully(int fd, char *data, std::size_t size, off_t offset) {
    for (;;) {
        const ssize_t got = pread(fd, data, size, offset);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// The print of the file at path, plain or compressed; false with error set
// when it cannot be read. With ino set, moved tells a file that is no longer
// the one listed under path (renamed or removed since), which is no error.
bool print_file(const std::string &path, bool compressed, std::uint64_t &print, std::string &error, dev_t dev = 0,
                ino_t ino = 0, bool *moved = nullptr) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || (ino != 0 && (fstat(fd, &info) != 0 || info.st_dev != dev || info.st_ino != ino))) {
        const bool gone = fd < 0 ? errno == ENOENT : true;
        if (fd >= 0) close(fd);
        if (moved != nullptr && gone) {
            *moved = true;
            return true;
        }
        error = errno_text("open", path);
        return false;
    }
    if (compressed) {
        LogInput input;
        return input.adopt(fd, path, true, error) && read_print(input, print, error);
    }
    char head[print_span];
    const ssize_t got = pread_fully(fd, head, sizeof head, 0);
    if (got < 0) error = errno_text("pread", path);
    close(fd);
    if (got < 0) return false;
    print = print_of_start(head, static_cast<std::size_t>(got));
    return true;
}

// Where the file's whole lines end now: a last line without its newline is
// not shipped, so the end is after the last newline. -1 when it cannot be read.
off_t end_of_lines(int fd) {
    struct stat info {};
    char tail[4096];
    off_t end = fstat(fd, &info) == 0 ? info.st_size : 0;
    while (end > 0) {
        const off_t from = std::max<off_t>(end - static_cast<off_t>(sizeof tail), 0);
        const ssize_t got = pread_fully(fd, tail, static_cast<std::size_t>(end - from), from);
        if (got < 0) return -1;
        if (got == 0) return from;
        const void *newline = memrchr(tail, '\n', static_cast<std::size_t>(got));
        if (newline != nullptr) return from + (static_cast<const char *>(newline) - tail) + 1;
        end = from;
    }
    return 0;
}

}  // namespace

Follower::File::~File() {
    if (fd >= 0) close(fd);
}

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
    // Said, since the limit on inotify instances (fs.inotify.max_user_instances) is easily met.
    if (failed != nullptr)
        warn("%s: %s: %s; looking for new lines every 100 ms", folder.c_str(), failed, std::strerror(errno));
}

Follower::~Follower() {
    if (watch_ >= 0) close(watch_);
}

void Follower::drain_events() const {
    char events[4096];
    while (watch_ >= 0 && ::read(watch_, events, sizeof events) > 0) {
    }
}

std::chrono::milliseconds Follower::patience() const {
    const bool lingering = std::any_of(files_.begin(), files_.end(), [](const std::unique_ptr<File> &file) {
        return file->rotated_at != Clock::time_point{} && Clock::now() - file->rotated_at < 2 * linger;
    });
    return watch_ < 0 || failing_ || lingering ? without_inotify : with_inotify;
}

// ---- The rules: where a place is, and where it goes at a file's end.

// The open file with print, or the one listed with it; or, when the place
// is in no file yet or its file is gone, the file where_next names instead,
// at moved to its start. Null while there is nothing to read.
Follower::File *Follower::file_at(Position &at, std::uint64_t stop, Mode mode) {
    if (File *open = open_file(at.print); open != nullptr && at.print != 0) return open;
    const std::uint64_t errors = errors_;
    for (int tries = 0; tries < 3; ++tries) {
        std::vector<ListedFile> files;
        if (!list(files)) return nullptr;
        // Files logrotate made before a first start are history, not shipped.
        for (ListedFile &file : files)
            if (at.print == 0 && !file.log && std::find(old_.begin(), old_.end(), file.print) != old_.end())
                file.print = 0;
        const NextStep step = where_next(at.print, at.seq, high_, false, marks_, files);
        if (step.kind == NextStep::read) {
            File *file = open_listed(listed_[step.file]);
            if (file != nullptr || errors_ != errors) return file;
            continue;  // moved since it was listed
        }
        if (mode == look || !move(step, at, stop, mode)) return nullptr;
        if (File *open = open_file(at.print)) return open;
    }
    return nullptr;
}

// Moves at as step says; false when it stays. A gap the caller is not
// passing over stops it there, to be taken by the caller.
bool Follower::move(const NextStep &step, Position &at, std::uint64_t stop, Mode mode) {
    if (step.kind != NextStep::enter && step.kind != NextStep::gap) return false;
    const Listed &next = listed_[step.file];
    if (step.gone && at.print != said_gone_ && mode == ship) {
        said_gone_ = at.print;
        if (at.print == rewritten_)
            warn("%s: its start changed (truncated or written anew) after %" PRIu64
                 " lines were read; going on with %s",
                 log_.c_str(), at.line, next.name.c_str());
        else
            warn("%s: the file it was on is gone, %" PRIu64 " of its lines read (line %" PRIu64
                 " of the epoch next); going on with %s",
                 log_.c_str(), at.line, at.seq, next.name.c_str());
    }
    // The end set for -e was in that file: what the log holds now.
    if (step.gone && end_ >= 0 && at.print == end_print_) stop_at_current_end();
    const Position start{next.print, 0, 0, static_cast<std::uint64_t>(step.first)};
    if (step.kind == NextStep::gap && (mode != count || step.fresh || stop < start.seq)) {
        has_gap_ = true;
        gap_ = Gap{at.seq, start.seq - 1, start, step.fresh};
        return false;
    }
    at = start;
    note_file(next.print, step.first);
    if (open_file(next.print) == nullptr) open_listed(next);
    return true;
}

// At the end of file. False while the log is still this file, or while a
// writer that opened it before it moved may still write to it; else true
// once at has moved on to the next file.
bool Follower::leave(File &file, Position &at, std::uint64_t stop, Mode mode) {
    if (mode == look || is_log(file)) return false;
    const auto now = Clock::now();
    if (file.rotated_at == Clock::time_point{}) file.rotated_at = now;
    if (!file.compressed && now - file.rotated_at < linger) return false;
    std::vector<ListedFile> files;
    if (!list(files)) return false;
    struct stat info {};
    const bool torn = !file.compressed && mode == ship && fstat(file.fd, &info) == 0 && info.st_size > at.offset &&
                      at.offset >= file.named && limit_of(file.print) == 0;
    const std::uint64_t line = at.line + 1;
    const std::string name = file.name;  // file may be closed once at has moved on
    const off_t named = file.named;
    if (torn) file.named = info.st_size;
    if (!move(where_next(file.print, at.seq, high_, true, marks_, files), at, stop, mode)) {
        file.named = named;
        return false;
    }
    if (torn) {
        warn("%s:%" PRIu64 ": last line has no newline, skipped", name.c_str(), line);
        if (on_malformed) on_malformed();
    }
    return true;
}

// The number of the first line of the file after print's: where its lines end; 0 for the newest.
std::int64_t Follower::limit_of(std::uint64_t print) const {
    for (std::size_t i = 0; i + 1 < marks_.size(); ++i)
        if (marks_[i].print == print) return marks_[i + 1].first;
    return 0;
}

void Follower::note_file(std::uint64_t print, std::int64_t first) {
    const auto own =
        std::find_if(marks_.begin(), marks_.end(), [&](const FileMark &mark) { return mark.print == print; });
    if (own != marks_.end()) {
        if (own->first == first) return;
        marks_.erase(own, marks_.end());  // numbered anew: what came after it no longer follows it
    }
    marks_.push_back({print, first});
    if (marks_.size() > max_marks) marks_.erase(marks_.begin());
}

void Follower::restore(const std::vector<FileMark> &files) {
    // Marks out of order would give one line two numbers: those after the first such are dropped.
    marks_.clear();
    for (const FileMark &mark : files) {
        if (mark.print == 0 || (!marks_.empty() && mark.first < marks_.back().first)) break;
        marks_.push_back(mark);
    }
    high_ = marks_.empty() ? 1 : static_cast<std::uint64_t>(std::max<std::int64_t>(marks_.back().first, 1));
}

void Follower::renumber(Position &at) {
    const auto delta = static_cast<std::int64_t>(at.seq) - 1;
    const auto own =
        std::find_if(marks_.begin(), marks_.end(), [&](const FileMark &mark) { return mark.print == at.print; });
    marks_.erase(marks_.begin(), own);  // earlier files are not in the new epoch
    for (FileMark &mark : marks_) mark.first -= delta;
    if (marks_.empty() && at.print != 0) marks_.push_back({at.print, 1});  // a file not yet numbered
    high_ = std::max<std::int64_t>(static_cast<std::int64_t>(high_) - delta, 1);
    at.seq = 1;
    has_gap_ = false;
}

bool Follower::gap_at(const Position &at, Gap &gap) const {
    if (!has_gap_ || gap_.first != at.seq) return false;
    gap = gap_;
    return true;
}

// ---- The I/O.

bool Follower::is_log(const File &file) const {
    struct stat info {};
    return stat(log_.c_str(), &info) == 0 && info.st_dev == file.dev && info.st_ino == file.ino;
}

// The files of the folder, without prints; false with moved set when one
// was renamed or removed between the readdir and its stat.
bool Follower::read_folder(std::vector<Listed> &now, bool &moved) {
    std::vector<RotatedFile> names;
    std::string error;
    if (!list_rotated(log_, names, error)) {
        fail(error);
        return false;
    }
    now.clear();
    for (const RotatedFile &name : names) {
        Listed entry{name.name, name.compressed};
        struct stat info {};
        if (stat(entry.name.c_str(), &info) != 0) {
            moved = errno == ENOENT;
            if (!moved) fail(errno_text("stat", entry.name));
            return false;
        }
        if (!S_ISREG(info.st_mode)) continue;
        entry.dev = info.st_dev;
        entry.ino = info.st_ino;
        entry.size = info.st_size;
        entry.mtime = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        now.push_back(std::move(entry));
    }
    return true;
}

// The folder as where_next sees it, read until two readings agree:
// logrotate renames and compresses between a readdir and a stat, and a file
// missed so would be passed over. Prints are read once for each file as long
// as its size and time stay the same. False, said when it is an error, while
// there is no such listing.
bool Follower::list(std::vector<ListedFile> &files) {
    const auto same = [](const Listed &a, const Listed &b) {
        return a.name == b.name && a.dev == b.dev && a.ino == b.ino;
    };
    for (int tries = 0; tries < 20; ++tries) {
        std::vector<Listed> now;
        std::vector<Listed> again;
        bool moved = false;
        if (!read_folder(now, moved)) {
            if (moved) continue;
            return false;
        }
        for (Listed &entry : now) {
            const auto known = std::find_if(listed_.begin(), listed_.end(), [&](const Listed &old) {
                return old.dev == entry.dev && old.ino == entry.ino && old.size == entry.size &&
                       old.mtime == entry.mtime;
            });
            std::string error;
            if (known != listed_.end() && known->print != 0) {
                entry.print = known->print;
                entry.seen = known->seen;
            } else if (!print_file(entry.name, entry.compressed, entry.print, error, entry.dev, entry.ino, &moved)) {
                fail(error);
                return false;
            }
            if (entry.seen == Clock::time_point{} && entry.name != log_) entry.seen = Clock::now();
        }
        if (moved) continue;
        if (!read_folder(again, moved)) {
            if (moved) continue;
            return false;
        }
        if (!std::equal(now.begin(), now.end(), again.begin(), again.end(), same)) continue;
        listed_ = std::move(now);
        files.clear();
        for (const Listed &entry : listed_) files.push_back({entry.print, entry.name == log_});
        return true;
    }
    return false;  // logrotate at work: looked at again next time
}

Follower::File *Follower::open_file(std::uint64_t print) const {
    for (const std::unique_ptr<File> &file : files_)
        if (file->print == print) return file.get();
    return nullptr;
}

// The listed file, when it still is: it may have moved since.
Follower::File *Follower::open_listed(const Listed &listed) {
    const int fd = open(listed.name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) fail(errno_text("open", listed.name));
        return nullptr;
    }
    auto file = std::make_unique<File>();
    file->fd = fd;
    file->name = listed.name;
    file->compressed = listed.compressed;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        fail(errno_text("fstat", listed.name));
        return nullptr;
    }
    file->dev = info.st_dev;
    file->ino = info.st_ino;
    if (info.st_dev != listed.dev || info.st_ino != listed.ino) return nullptr;
    file->print = listed.print;
    if (listed.name != log_) file->rotated_at = listed.seen;
    forget(listed.print);
    files_.push_back(std::move(file));
    if (files_.size() > max_files) files_.erase(files_.begin());
    return files_.back().get();
}

void Follower::forget(std::uint64_t print) {
    files_.erase(std::remove_if(files_.begin(), files_.end(),
                                [&](const std::unique_ptr<File> &file) { return file->print == print; }),
                 files_.end());
}

void Follower::fail(const std::string &error) {
    if (!failing_) warn("%s; retrying", error.c_str());
    ++errors_;
    failing_ = true;
    backoff_ = std::clamp(backoff_ * 2, first_retry, last_retry);
    retry_at_ = Clock::now() + backoff_;
}

void Follower::recovered(const File &file) {
    if (!failing_) return;
    warn("%s: read again", file.name.c_str());
    failing_ = false;
    backoff_ = std::chrono::milliseconds(0);
}

// Up to size bytes of the file's content from offset: how many; -1 on an
// error, which is said.
long Follower::read_at(File &file, char *data, std::size_t size, off_t offset) {
    if (!file.compressed) {
        const ssize_t got = pread_fully(file.fd, data, size, offset);
        if (got < 0) fail(errno_text("pread", file.name));
        return got;
    }
    std::string error;
    const auto at = static_cast<std::uint64_t>(offset);
    if (!file.stream.is_open() || file.streamed > at) {
        const int copy = dup(file.fd);
        if (copy < 0 || lseek(copy, 0, SEEK_SET) != 0) {
            fail(errno_text(copy < 0 ? "dup" : "lseek", file.name));
            if (copy >= 0) close(copy);
            return -1;
        }
        if (!file.stream.adopt(copy, file.name, true, error)) {
            fail(error);
            return -1;
        }
        file.streamed = 0;
    }
    if (file.streamed < at) {
        if (!file.stream.skip(at - file.streamed, error)) {
            file.stream.close();
            if (error.empty()) return 0;
            fail(error);
            return -1;
        }
        file.streamed = at;
    }
    const long got = file.stream.read(data, size, error);
    if (got < 0) {
        file.stream.close();
        fail(error);
        return -1;
    }
    file.streamed += static_cast<std::uint64_t>(got);
    return got;
}

// Whether a plain file's start is no longer what it was: truncated, or
// emptied and written again (copytruncate). Its content is elsewhere, or gone.
bool Follower::replaced(File &file) {
    if (file.compressed) return false;
    char head[print_span];
    const ssize_t got = pread_fully(file.fd, head, sizeof head, 0);
    if (got < 0) {
        fail(errno_text("pread", file.name));
        return false;
    }
    return print_of_start(head, static_cast<std::size_t>(got)) != file.print;
}

void Follower::stop_at_current_end() {
    end_print_ = 0;
    end_ = 0;
    end_pending_ = false;
    std::string error;
    const int fd = open(log_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return;  // no log: nothing to ship
    if (fd >= 0 && print_file(log_, false, end_print_, error)) {
        end_ = end_of_lines(fd);
        if (end_ < 0) error = errno_text("pread", log_);
    } else if (fd < 0) {
        error = errno_text("open", log_);
    }
    if (fd >= 0) close(fd);
    // Not known yet: found again once the log can be read.
    if (!error.empty()) {
        fail(error);
        end_pending_ = true;
    }
}

bool Follower::at_end(const Position &at) const {
    if (end_ < 0 || end_pending_) return false;
    if (end_print_ == 0) return true;  // there was no log with a line
    return at.print == end_print_ && at.offset >= end_;
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
        const long got = read_at(file, buffer_.data(), buffer_.size(), file.run_checked);
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

std::size_t Follower::walk(Position &at, std::string *out, std::size_t room, std::uint64_t stop, Mode mode) {
    const bool quiet = mode != ship;
    has_gap_ = false;
    if (failing_ && Clock::now() < retry_at_) return 0;
    if (end_pending_) stop_at_current_end();
    std::size_t lines = 0;
    while (at.seq != stop && !at_end(at)) {
        File *file = file_at(at, stop, mode);
        if (file == nullptr) break;
        // A file's lines end where the next file's numbers begin.
        const std::int64_t limit = limit_of(file->print);
        const auto below = [&] { return limit == 0 || static_cast<std::int64_t>(at.seq) < limit; };
        std::size_t want = below() ? buffer_.size() : 0;
        if (end_ >= 0 && at.print == end_print_)
            want = std::min(want, static_cast<std::size_t>(std::max<off_t>(end_ - at.offset, 0)));
        const std::uint64_t errors = errors_;
        const long got = want == 0 ? 0 : read_at(*file, buffer_.data(), want, at.offset);
        if (got < 0) break;
        // Checked after every read, so that what was read is known to be of
        // the same file: copytruncate may have emptied and refilled it past
        // this place meanwhile. Its content is looked for again, by its print.
        if (replaced(*file)) {
            rewritten_ = file->print;
            forget(file->print);
            continue;
        }
        if (errors_ != errors) break;
        recovered(*file);
        const auto size = static_cast<std::size_t>(got);
        std::size_t used = 0;
        bool full = false;
        const char *what = nullptr;
        for (std::size_t next = 0; at.seq != stop && below() && walk_log_line(buffer_.data(), size, next, what);
             used = next) {
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
        if (mode != look) high_ = std::max(high_, at.seq);
        if (full) break;
        if (used > 0) continue;
        if (size == buffer_.size() && pass_long_run(*file, at, quiet)) continue;
        if (errors_ != errors) break;
        // The end of the file, or of what it holds so far.
        struct stat info {};
        if (!file->compressed && size == 0 && fstat(file->fd, &info) == 0 && info.st_size < at.offset &&
            is_log(*file)) {
            // Cut short with its first line kept: new lines come after the cut.
            if (!quiet)
                warn("%s: truncated to %lld bytes after %" PRIu64 " lines were read; reading on from there",
                     file->name.c_str(), static_cast<long long>(info.st_size), at.line);
            at.offset = info.st_size;
            continue;
        }
        if (end_ >= 0 && at.print == end_print_) break;
        if (!leave(*file, at, stop, mode)) break;
    }
    return lines;
}

void Follower::settle(Position &at) {
    high_ = std::max(high_, at.seq);
    if (at.print != 0) return;
    // A first start: on the log as it is now. Files rotated before it are
    // history; those rotated after it, before the log was read, are not.
    std::vector<ListedFile> files;
    if (list(files))
        for (const ListedFile &file : files)
            if (!file.log && file.print != 0) old_.push_back(file.print);
    file_at(at, 0, ship);
}

std::size_t Follower::read(Position &at, std::string &out, std::size_t room) { return walk(at, &out, room, 0, ship); }

bool Follower::skip(Position &at, std::uint64_t to) {
    walk(at, nullptr, 0, to, count);
    return at.seq == to;
}

void Follower::find_held(std::uint64_t seq, Position &at) {
    const std::vector<FileMark> marks = marks_;
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
    // Numbered from the file's first line on, even from below the epoch's line 1.
    Position place{mark->print, 0, 0, static_cast<std::uint64_t>(mark->first)};
    if (file_at(place, seq, look) == nullptr) return false;
    walk(place, nullptr, 0, seq, look);
    if (place.seq != seq) return false;
    at = place;
    return true;
}

std::uint64_t Follower::bytes_after(const Position &at) const {
    std::uint64_t bytes = 0;
    bool from = false;
    for (const Listed &listed : listed_) {
        from = from || listed.print == at.print;
        if (!from) continue;
        off_t size = listed.size;
        struct stat info {};
        const File *file = open_file(listed.print);
        if (file != nullptr && !file->compressed && fstat(file->fd, &info) == 0) size = info.st_size;
        const off_t start = listed.print == at.print && !listed.compressed ? at.offset : 0;
        if (size > start) bytes += static_cast<std::uint64_t>(size - start);
    }
    return bytes;
}

bool Follower::timestamp_at(const Position &at, long long &micros) const {
    char line[1024];  // longer than any log line
    const File *file = open_file(at.print);
    if (file == nullptr || file->compressed) return false;
    const ssize_t n = pread_fully(file->fd, line, sizeof line, at.offset);
    const char *end = n > 0 ? static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(n))) : nullptr;
    LogPacket packet;
    if (end == nullptr || parse_log_line(line, end, packet) != nullptr) return false;
    micros = packet.micros;
    return true;
}
