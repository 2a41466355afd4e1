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
constexpr std::chrono::milliseconds late_check{1000};
constexpr std::uint32_t watched_events = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
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

enum class Printed {
    ok,
    moved,    // no longer the file listed under the name (renamed or removed since): no error
    failed,   // error set
    damaged,  // error set: its compressed data is cut short or corrupt
};

// The print of the file at path, plain or compressed. With listed, a file
// that is no longer the one listed under path is moved.
Printed print_file(const std::string &path, bool compressed, std::uint64_t &print, std::string &error,
                   const SeenFile *listed = nullptr) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 && listed != nullptr && errno == ENOENT) return Printed::moved;
    if (fd < 0) {
        error = errno_text("open", path);
        return Printed::failed;
    }
    if (listed != nullptr && (fstat(fd, &info) != 0 || info.st_dev != listed->dev || info.st_ino != listed->ino)) {
        close(fd);
        return Printed::moved;
    }
    if (compressed) {
        LogInput input;
        if (!input.adopt(fd, path, true, error)) return Printed::failed;
        if (!read_print(input, print, error)) return input.damaged() ? Printed::damaged : Printed::failed;
        return Printed::ok;
    }
    char head[print_span];
    const ssize_t got = pread_fully(fd, head, sizeof head, 0);
    if (got < 0) error = errno_text("pread", path);
    close(fd);
    if (got < 0) return Printed::failed;
    print = print_of_start(head, static_cast<std::size_t>(got));
    return Printed::ok;
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

Follower::Follower(std::string log, std::string olddir)
    : log_(std::move(log)), olddir_(std::move(olddir)), target_(resolve_link(log_)), buffer_(max_payload) {
    const std::string folder = folder_of(log_);
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const char *failed = watch_ < 0 ? "inotify_init1" : nullptr;
    if (failed == nullptr && inotify_add_watch(watch_, folder.c_str(), watched_events) < 0) {
        failed = "inotify_add_watch";
        close(watch_);
        watch_ = -1;
    }
    // Said, since the limit on inotify instances (fs.inotify.max_user_instances) is easily met.
    if (failed != nullptr)
        warn("%s: %s: %s; looking for new lines every 100 ms", folder.c_str(), failed, std::strerror(errno));
    watch_rotated();
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
        for (std::size_t i = 0; i < files.size() && at.print == 0; ++i)
            if (!files[i].log && (std::find(old_.begin(), old_.end(), files[i].print) != old_.end() ||
                                  (files[i].unknown && is_old(listed_[i]))))
                files[i] = ListedFile{};
        const NextStep step = where_next(at.print, at.seq, numbered(), false, marks_, files);
        if (step.kind == NextStep::read) {
            File *file = open_listed(listed_[step.file]);
            if (file != nullptr || errors_ != errors) return file;
            continue;  // moved since it was listed
        }
        if (mode == look || !move(step, at, stop, mode)) return nullptr;
        if (File *open = open_file(at.print)) return open;
    }
    ++unsettled_;
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
        const std::uint64_t known = step.fresh ? std::min(start.seq, high_) - 1 : start.seq - 1;
        gap_ = Gap{at.seq, start.seq - 1, known, start, step.fresh};
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
    if (mode == ship) look_for_late_lines();
    if (mode == look || is_log(file)) return false;
    const auto now = Clock::now();
    if (file.rotated_at == Clock::time_point{}) file.rotated_at = now;
    if (!file.compressed && now - file.rotated_at < linger) return false;
    std::vector<ListedFile> files;
    if (!list(files)) return false;
    struct stat info {};
    const bool sized = !file.compressed && fstat(file.fd, &info) == 0;
    const bool torn =
        sized && mode == ship && info.st_size > at.offset && at.offset >= file.named && limit_of(file.print) == 0;
    const std::uint64_t line = at.line + 1;
    const std::string name = file.name;  // file may be closed once at has moved on
    const off_t named = file.named;
    if (torn) file.named = info.st_size;
    // Read to its end past where a run before last said its numbers ended:
    // the file that held them is whole, so that run gave none past its end,
    // whatever it reserved, and the next file takes them.
    if (reserved_ != 0 && high_at_.print == file.print && at.offset >= high_at_.offset) reserved_ = 0;
    NextStep step = where_next(file.print, at.seq, numbered(), true, marks_, files);
    // Lines never numbered are cut from a damaged file: the central log is
    // told of the hole by a new epoch, their number not being known.
    if (file.ends_at >= 0 && step.kind == NextStep::enter) {
        step.kind = NextStep::gap;
        step.fresh = true;
    }
    if (sized && limit_of(file.print) == 0) file.left_at = std::max(at.offset, info.st_size);
    if (!move(step, at, stop, mode)) {
        file.named = named;
        file.left_at = -1;
        return false;
    }
    if (torn) {
        warn("%s:%" PRIu64 ": last line has no newline, skipped", name.c_str(), line);
        if (on_malformed) on_malformed();
    }
    return true;
}

// Lines written to a file after it was left for the next one (by a writer
// other than sflogger that kept it open, or in a copytruncate race) have no
// numbers left to take: the next file's lines took them. Said with the file
// and the bytes, and counted as lost; looked for at most once a second.
void Follower::look_for_late_lines() {
    const auto now = Clock::now();
    if (now < late_check_at_) return;
    late_check_at_ = now + late_check;
    for (const std::unique_ptr<File> &file : files_) {
        struct stat info {};
        if (file->left_at < 0 || fstat(file->fd, &info) != 0 || info.st_size <= file->left_at) continue;
        std::uint64_t lines = 0;
        off_t from = file->left_at;
        while (from < info.st_size) {
            const auto want =
                static_cast<std::size_t>(std::min<off_t>(info.st_size - from, static_cast<off_t>(buffer_.size())));
            const ssize_t got = pread_fully(file->fd, buffer_.data(), want, from);
            if (got <= 0) break;
            lines += static_cast<std::uint64_t>(std::count(buffer_.data(), buffer_.data() + got, '\n'));
            from += got;
        }
        if (from == file->left_at) continue;
        // Named as last listed: it was opened under an older name.
        const auto listed = std::find_if(listed_.begin(), listed_.end(), [&](const Listed &entry) {
            return entry.dev == file->dev && entry.ino == file->ino;
        });
        warn("%s: %lld bytes written to it after it was left for the next file: %" PRIu64
             " lines not shipped, counted as lost",
             (listed != listed_.end() ? listed->name : file->name).c_str(),
             static_cast<long long>(from - file->left_at), lines);
        file->left_at = from;
        if (on_late_lines) on_late_lines(lines);
    }
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

void Follower::restore(const std::vector<FileMark> &files, const Numbers &numbers, const Cut &cut) {
    // Marks out of order would give one line two numbers: those after the first such are dropped.
    marks_.clear();
    for (const FileMark &mark : files) {
        if (mark.print == 0 || (!marks_.empty() && mark.first < marks_.back().first)) break;
        marks_.push_back(mark);
    }
    high_ = marks_.empty() ? 1 : static_cast<std::uint64_t>(std::max<std::int64_t>(marks_.back().first, 1));
    high_ = std::max(high_, numbers.given);
    reserved_ = numbers.reserved;
    if (numbers.given == high_) high_at_ = Position{numbers.print, numbers.offset, 0, high_};
    cut_ = cut.at;
    cut_high_ = cut.high;
    high_ = std::max(high_, cut_high_);
}

void Follower::renumber(Position &at) {
    const auto delta = static_cast<std::int64_t>(at.seq) - 1;
    const auto own =
        std::find_if(marks_.begin(), marks_.end(), [&](const FileMark &mark) { return mark.print == at.print; });
    marks_.erase(marks_.begin(), own);  // earlier files are not in the new epoch
    for (FileMark &mark : marks_) mark.first -= delta;
    if (marks_.empty() && at.print != 0) marks_.push_back({at.print, 1});  // a file not yet numbered
    // Lines read past a cut are gone: the new epoch has given none of its numbers yet.
    const std::uint64_t read = cut_.print != 0 ? std::min(high_, cut_.seq) : high_;
    const bool placed = high_at_.seq == read;
    high_ = std::max<std::int64_t>(static_cast<std::int64_t>(read) - delta, 1);
    high_at_ = placed ? Position{high_at_.print, high_at_.offset, high_at_.line, high_} : Position{};
    if (high_ == 1) high_at_ = Position{at.print, at.offset, at.line, 1};
    reserved_ = 0;  // every number of the new epoch is handed out in this run
    at.seq = 1;
    has_gap_ = false;
    cut_ = Position{};  // counting within the file holds again
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

// The log's link followed anew, once for each listing: it may name another
// file now. A dangling link is a log not there yet.
void Follower::follow_link() {
    std::string target = resolve_link(log_);
    if (target != target_) {
        target_ = std::move(target);
        rotated_watched_ = false;
    }
    if (!rotated_watched_) watch_rotated();
}

// Watches where logrotate puts the log's rotated files: the folder of the
// file the link names and olddir, beside the log's own folder, where the
// link is changed. A folder watched before stays so: a wake too many costs
// a listing. Tried again at each listing while one is not there yet.
void Follower::watch_rotated() {
    if (watch_ < 0) return;
    rotated_watched_ = true;
    for (const std::string &folder : {folder_of(target_), olddir_of(target_, olddir_)})
        if (!folder.empty() && inotify_add_watch(watch_, folder.c_str(), watched_events) < 0) rotated_watched_ = false;
}

// The files of the folder, without prints; false with moved set when one
// was renamed or removed between the readdir and its stat.
bool Follower::read_folder(std::vector<Listed> &now, bool &moved) {
    std::vector<RotatedFile> names;
    std::string error;
    follow_link();
    if (!list_rotated(target_, names, error, olddir_)) {
        fail(error);
        return false;
    }
    now.clear();
    for (const RotatedFile &name : names) {
        Listed entry;
        entry.name = name.name;
        entry.compressed = name.compressed;
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

// The folder as where_next sees it, read until two readings agree
// (readings_agree), with prints between. Prints are read once for each file
// as long as its content stays the same. False, said when it is an error,
// while there is no such listing.
bool Follower::list(std::vector<ListedFile> &files) {
    for (int tries = 0; tries < 20; ++tries) {
        std::vector<Listed> now;
        std::vector<Listed> again;
        bool moved = false;
        if (!read_folder(now, moved)) {
            if (moved) continue;
            return false;
        }
        for (Listed &entry : now) print_listed(entry, moved);
        if (moved) continue;
        if (!read_folder(again, moved)) {
            if (moved) continue;
            return false;
        }
        if (!readings_agree({now.begin(), now.end()}, {again.begin(), again.end()})) continue;
        listed_ = std::move(now);
        unreadable_.erase(std::remove_if(unreadable_.begin(), unreadable_.end(),
                                         [&](const Unreadable &file) {
                                             return std::none_of(listed_.begin(), listed_.end(), [&](const Listed &l) {
                                                 return l.dev == file.dev && l.ino == file.ino;
                                             });
                                         }),
                          unreadable_.end());
        files.clear();
        for (const Listed &entry : listed_) files.push_back({entry.print, entry.name == target_, entry.unknown});
        return true;
    }
    ++unsettled_;
    return false;  // logrotate at work: looked at again next time
}

// Gives entry its print, read again only when its content may have changed.
// One that cannot be read is listed as unknown, said once and tried again
// after a while, so that the other files are followed meanwhile: where_next
// waits only where it may hold lines to ship. Compressed data that fails
// twice at the file's start is damaged for good: passed over, said once.
void Follower::print_listed(Listed &entry, bool &moved) {
    const auto known = std::find_if(listed_.begin(), listed_.end(),
                                    [&](const Listed &old) { return same_content(old, entry) && old.print != 0; });
    if (entry.name != target_)
        entry.seen = known != listed_.end() && known->seen != Clock::time_point{} ? known->seen : Clock::now();
    if (known != listed_.end()) {
        entry.print = known->print;
        return;
    }
    const auto failed = std::find_if(unreadable_.begin(), unreadable_.end(), [&](const Unreadable &file) {
        return file.dev == entry.dev && file.ino == entry.ino;
    });
    const auto now = Clock::now();
    if (failed != unreadable_.end() && failed->size == entry.size && (failed->for_good || now < failed->retry_at)) {
        entry.unknown = !failed->for_good;
        return;
    }
    std::string error;
    const Printed got = print_file(entry.name, entry.compressed, entry.print, error, &entry);
    if (got == Printed::moved) moved = true;
    if (got == Printed::ok && failed != unreadable_.end()) {
        warn("%s: read again", entry.name.c_str());
        unreadable_.erase(failed);
    }
    if (got != Printed::failed && got != Printed::damaged) return;
    entry.unknown = true;
    if (failed == unreadable_.end()) {
        warn("%s; retrying", error.c_str());
        unreadable_.push_back(
            {entry.dev, entry.ino, entry.size, got == Printed::damaged, false, now + first_retry, first_retry});
        return;
    }
    if (got == Printed::damaged && failed->damaged && failed->size == entry.size) {
        warn("%s: its compressed data is damaged near its start: none of its lines can be read, passed over",
             entry.name.c_str());
        failed->for_good = true;
        entry.unknown = false;
        return;
    }
    failed->damaged = got == Printed::damaged;
    failed->size = entry.size;
    failed->backoff = std::clamp(failed->backoff * 2, first_retry, last_retry);
    failed->retry_at = now + failed->backoff;
}

bool Follower::is_old(const Listed &entry) const {
    return std::any_of(old_unknown_.begin(), old_unknown_.end(),
                       [&](const SeenFile &old) { return old.dev == entry.dev && old.ino == entry.ino; });
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
    if (listed.name != target_) file->rotated_at = listed.seen;
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
    if (file.ends_at >= 0 && offset >= file.ends_at) return 0;
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
            if (!error.empty()) return broken(file, offset, 0, error);
            file.stream.close();
            return 0;
        }
        file.streamed = at;
    }
    const long got = file.stream.read(data, size, error);
    if (got < 0 || file.stream.damaged()) return broken(file, offset, std::max(got, 0L), error);
    file.streamed += static_cast<std::uint64_t>(got);
    return got;
}

// A compressed file's data failed after got bytes from offset: an error,
// tried again; when it is damaged data that failed at the same byte before
// (cut short by a power cut while gzip wrote it, corrupt), the file's
// content ends there for good, and what follows it is where_next's to find.
long Follower::broken(File &file, off_t offset, long got, const std::string &error) {
    const bool damaged = file.stream.damaged();
    const off_t at = offset + got;
    file.stream.close();
    if (!damaged || file.broken_at != at) {
        file.broken_at = damaged ? at : -1;
        fail(error);
        return -1;
    }
    if (file.ends_at < 0)
        warn("%s; its content after byte %lld cannot be read: the lines there are passed over", error.c_str(),
             static_cast<long long>(at));
    file.ends_at = at;
    failing_ = false;
    backoff_ = std::chrono::milliseconds(0);
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
    if (fd >= 0 && print_file(log_, false, end_print_, error) == Printed::ok) {
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
        if (stop_at_cut(at)) break;
        if (cut_.print == at.print) want = std::min(want, static_cast<std::size_t>(cut_.offset - at.offset));
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
        // Past malformed lines too, but never back from a place a run before saved.
        const bool further = at.seq == high_ && at.print == high_at_.print && at.offset > high_at_.offset;
        if (mode != look && (at.seq > high_ || further)) {
            high_ = at.seq;
            high_at_ = at;
        }
        if (full) break;
        if (used > 0) continue;
        if (size == buffer_.size() && pass_long_run(*file, at, quiet)) continue;
        if (errors_ != errors) break;
        // The end of the file, or of what it holds so far.
        struct stat info {};
        if (!file->compressed && size == 0 && fstat(file->fd, &info) == 0 && info.st_size < at.offset &&
            is_log(*file)) {
            if (cut_short(*file, at, info.st_size, quiet)) break;
            continue;
        }
        if (end_ >= 0 && at.print == end_print_) break;
        if (!leave(*file, at, stop, mode)) break;
    }
    return lines;
}

// The log cut short in place with its first line kept (truncate -s, an
// editor's shorter copy): the lines numbered past the cut are gone, and
// counting within the file would give the lines after the cut their
// numbers. So its lines after the cut start a new epoch, as a log written
// anew does, numbered so that counting from its start holds again. Until
// then nothing is read past the cut's last whole line: a gap there, for the
// caller to take. False, at moved to the cut, when the file has no mark to
// count from: no line of it can be looked for again, so it reads on there.
bool Follower::cut_short(File &file, Position &at, off_t size, bool quiet) {
    const std::string name = file.name;  // file may be closed by the count
    const std::uint64_t print = file.print;
    const auto mark = std::find_if(marks_.begin(), marks_.end(), [&](const FileMark &m) { return m.print == print; });
    Position cut{print, 0, 0, mark == marks_.end() ? 0 : static_cast<std::uint64_t>(mark->first)};
    if (mark != marks_.end()) walk(cut, nullptr, 0, 0, look);
    if (mark == marks_.end() || cut.print != print || cut.offset > size) {
        if (!quiet)
            warn("%s: cut short in place to %lld bytes after %lld were read; reading on from there", name.c_str(),
                 static_cast<long long>(size), static_cast<long long>(at.offset));
        at.offset = size;
        return false;
    }
    if (!quiet)
        warn(
            "%s: cut short in place to %lld bytes after %lld were read: %lld bytes gone; its lines after the "
            "cut start a new epoch",
            name.c_str(), static_cast<long long>(size), static_cast<long long>(at.offset),
            static_cast<long long>(at.offset - size));
    cut_ = cut;
    cut_high_ = std::max(high_, at.seq);
    high_ = cut_high_;  // numbers that went out stay given, whatever takes the lines after the cut
    stop_at_cut(at);
    return true;
}

// Whether at is at the cut: a gap there, the lines numbered past it gone.
bool Follower::stop_at_cut(const Position &at) {
    if (cut_.print == 0 || at.print != cut_.print || at.offset < cut_.offset) return false;
    has_gap_ = true;
    // Numbers an earlier run reserved past the cut went out only perhaps.
    gap_ = Gap{at.seq, std::max(cut_high_, reserved_) - 1, cut_high_ - 1, cut_, true};
    return true;
}

void Follower::settle(Position &at) {
    high_ = std::max(high_, at.seq);
    if (at.print != 0) return;
    // A first start: on the log as it is now. Files rotated before it are
    // history; those rotated after it, before the log was read, are not.
    std::vector<ListedFile> files;
    if (list(files))
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!files[i].log && files[i].print != 0) old_.push_back(files[i].print);
            if (!files[i].log && files[i].unknown) old_unknown_.push_back(listed_[i]);
        }
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

Holding Follower::locate(std::uint64_t seq, Position &at) {
    const FileMark *mark = nullptr;
    for (const FileMark &candidate : marks_)
        if (candidate.first <= static_cast<std::int64_t>(seq)) mark = &candidate;
    if (mark == nullptr) return Holding::gone;
    const std::uint64_t errors = errors_;
    const std::uint64_t unsettled = unsettled_;
    // Numbered from the file's first line on, even from below the epoch's line 1.
    Position place{mark->print, 0, 0, static_cast<std::uint64_t>(mark->first)};
    if (file_at(place, seq, look) != nullptr) {
        walk(place, nullptr, 0, seq, look);
        if (place.seq == seq) {
            at = place;
            return Holding::held;
        }
    }
    return failing_ || errors_ != errors || unsettled_ != unsettled ? Holding::unknown : Holding::gone;
}

bool Follower::line_at(Position at, std::string &out) {
    out.clear();
    // The first line after a cut is read too: it goes out only as the gap's
    // question, beyond what the collector takes, never under an old number.
    const Position cut = std::exchange(cut_, Position{});
    const bool gap = has_gap_;
    const bool found = walk(at, &out, max_payload, at.seq + 1, look) == 1;
    cut_ = cut;
    has_gap_ = gap;
    return found;
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
