#ifndef SFPUBLISH_FOLLOWER_H
#define SFPUBLISH_FOLLOWER_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "publish_rule.h"
#include "rotated_files.h"
#include "state.h"
#include "where_next.h"

// Lines of the epoch numbered once but no longer on the gateway (the files
// that held them gone or cut short), and where the lines it holds go on.
struct Gap {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // Numbers up to here went to lines for certain; those after it, up to
    // last, only perhaps (an earlier run reserved them and was killed).
    std::uint64_t known_last = 0;
    Position resume;
    bool fresh = false;  // resume's file takes no numbers of this epoch: its lines start a new one
};

// Follows a log through every file logrotate makes of it: a thin shell of
// I/O around where_next. A file is known by its print (a hash of its start),
// wherever it went: renamed, copied, compressed (gzip, xz, zstd or bzip2)
// or on another device. A file it cannot read stops only what may lie in
// it; a log cut short in place or a line written late to a file left are
// said, never shipped under wrong numbers. It numbers the well-formed lines of the epoch as it goes
// and keeps, for each file, the number of its first line, so that a line
// sent before can be found again.
class Follower {
public:
    // olddir: logrotate's, where it moves the rotated files; empty: beside the log.
    explicit Follower(std::string log, std::string olddir = "");
    ~Follower();
    Follower(const Follower &) = delete;
    Follower &operator=(const Follower &) = delete;

    // Wakes whenever the log's folder changes, or the linked file's or olddir; -1 without inotify.
    int watch_fd() const { return watch_; }
    void drain_events() const;
    // How long the caller may wait for the folder to change before reading
    // again: less while a rotated file is given a moment for a late line or
    // a failed read waits to be tried again, and without inotify.
    std::chrono::milliseconds patience() const;

    // Stops reading the file that is the log now at its current size: what
    // the log holds now, and no more.
    void stop_at_current_end();
    // Whether at has reached the end set by stop_at_current_end.
    bool at_end(const Position &at) const;

    // The files of the epoch, oldest first, as the state keeps them.
    const std::vector<FileMark> &files() const { return marks_; }
    // Numbers before this have been handed out to lines, in this run or before.
    std::uint64_t high() const { return high_; }
    // Numbers before this may have gone out, in this run or one before.
    std::uint64_t numbered() const { return std::max(high_, reserved_); }
    // Where the lines numbered before high() end: print 0 when not known.
    const Position &high_at() const { return high_at_; }
    // The files of the epoch and the numbers a run before handed out.
    void restore(const std::vector<FileMark> &files, const Numbers &numbers = {}, const Cut &cut = {});
    // The log cut short in place, while its new lines wait for a new epoch;
    // print 0: none. Saved before anything past it is acted on.
    Cut cut() const { return {cut_, cut_high_}; }
    // Numbers the lines anew for an epoch whose first line is at.
    void renumber(Position &at);

    // Appends to out the whole lines from at on, up to room bytes, each with
    // its newline, and moves at past them. Malformed lines and runs longer
    // than a batch without a newline are named on standard error once and
    // passed over. Returns the number of lines appended.
    std::size_t read(Position &at, std::string &out, std::size_t room);
    // Passes over lines until at.seq is to, over lines gone too when the
    // line to is still held; false when the log ends first.
    bool skip(Position &at, std::uint64_t to);
    // The place of line seq of the epoch, at set when it is held; unknown
    // while the files cannot be read or listed (a read error, logrotate at
    // work), never gone then.
    Holding locate(std::uint64_t seq, Position &at);
    // Whether line seq is held, at set to its place.
    bool find(std::uint64_t seq, Position &at) { return locate(seq, at) == Holding::held; }
    // The place of the first line at or after seq that the gateway still
    // holds, when there is one before at; at is left alone otherwise.
    void find_held(std::uint64_t seq, Position &at);
    // Whether the last read or skip stopped at at before a gap.
    bool gap_at(const Position &at, Gap &gap) const;
    // A place in no file yet moves to the log's start, once the log has a line.
    void settle(Position &at);
    // The bytes of the files it knows from at on: what is not yet
    // acknowledged when at is the acknowledged place.
    std::uint64_t bytes_after(const Position &at) const;
    // The whole line at at, with its newline, into out; false while there is none.
    bool line_at(Position at, std::string &out);
    // The timestamp of the first whole line from at on; false when there is none yet.
    bool timestamp_at(const Position &at, long long &micros) const;

    // Called for each malformed line or overlong run, as it is named.
    std::function<void()> on_malformed;
    // Called with the number of lines written to a file after it was left,
    // as they are said: lost, since they cannot take numbers in order.
    std::function<void(std::uint64_t)> on_late_lines;

private:
    using Clock = std::chrono::steady_clock;
    struct Listed : SeenFile {
        bool compressed = false;
        std::uint64_t print = 0;
        bool unknown = false;      // its print cannot be read now
        Clock::time_point seen{};  // first listed as a rotated file
    };
    // A listed file whose print could not be read: tried again after a
    // while, said once; damaged for good when its compressed data fails
    // twice at its start.
    struct Unreadable {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        bool damaged = false;
        bool for_good = false;
        Clock::time_point retry_at{};
        std::chrono::milliseconds backoff{0};
    };
    struct File {
        std::uint64_t print = 0;
        std::string name;
        bool compressed = false;
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        LogInput stream;                 // compressed: read from the start through a duplicate of fd
        std::uint64_t streamed = 0;      // bytes of the stream read so far
        off_t named = 0;                 // malformed lines before this have been named
        off_t run_at = -1;               // where a run longer than a batch starts, while it is passed over
        off_t run_checked = 0;           // it has no newline before this
        off_t left_at = -1;              // plain, left for the next file: its size then
        off_t broken_at = -1;            // compressed: its data failed once here
        off_t ends_at = -1;              // compressed: its data is damaged from here on, for good
        Clock::time_point rotated_at{};  // when it was first seen not to be the log; epoch: not yet
        ~File();
    };
    enum Mode {
        ship,   // read lines out
        count,  // pass over lines, from file to file, over a gap the line looked for is past
        look,   // count within one file
    };
    std::size_t walk(Position &at, std::string *out, std::size_t room, std::uint64_t stop, Mode mode);
    File *file_at(Position &at, std::uint64_t stop, Mode mode);
    bool move(const NextStep &step, Position &at, std::uint64_t stop, Mode mode);
    bool leave(File &file, Position &at, std::uint64_t stop, Mode mode);
    bool list(std::vector<ListedFile> &files);
    void print_listed(Listed &entry, bool &moved);
    bool is_old(const Listed &entry) const;
    bool read_folder(std::vector<Listed> &now, bool &moved);
    File *open_listed(const Listed &listed);
    File *open_file(std::uint64_t print) const;
    long read_at(File &file, char *data, std::size_t size, off_t offset);
    long broken(File &file, off_t offset, long got, const std::string &error);
    bool replaced(File &file);
    void forget(std::uint64_t print);
    void note_file(std::uint64_t print, std::int64_t first);
    std::int64_t limit_of(std::uint64_t print) const;
    bool pass_long_run(File &file, Position &at, bool quiet);
    bool cut_short(File &file, Position &at, off_t size, bool quiet);
    bool stop_at_cut(const Position &at);
    void look_for_late_lines();
    void fail(const std::string &error);
    void recovered(const File &file);
    bool is_log(const File &file) const;
    void follow_link();
    void watch_rotated();

    std::string log_;
    std::string olddir_;
    std::string target_;  // the file log_ names when it is a symbolic link; else log_
    int watch_ = -1;
    bool rotated_watched_ = false;
    std::vector<std::unique_ptr<File>> files_;  // open, at most max_files
    std::vector<FileMark> marks_;               // at most max_marks, in the order of the files
    std::vector<Listed> listed_;                // the last listing
    std::vector<std::uint64_t> old_;            // prints of the files rotated before a first start
    std::vector<SeenFile> old_unknown_;         // and those of them whose print could not be read
    std::vector<Unreadable> unreadable_;        // listed files whose print could not be read
    std::vector<char> buffer_;
    std::uint64_t end_print_ = 0;
    off_t end_ = -1;              // -1: no end
    bool end_pending_ = false;    // the log could not be read when the end was to be set
    std::uint64_t high_ = 1;      // lines of the epoch before this have been given numbers
    std::uint64_t reserved_ = 0;  // and none from this on, by a run before; 0: below high_
    Position high_at_;            // where the lines before high_ end, as far as known
    Position cut_;                // the log cut short in place: nothing past it is read in this epoch
    std::uint64_t cut_high_ = 0;  // numbers given out before the cut was found
    bool has_gap_ = false;
    Gap gap_;
    std::uint64_t said_gone_ = 0;  // the file last said gone
    std::uint64_t rewritten_ = 0;  // the file last found written anew under its name
    bool failing_ = false;
    std::uint64_t errors_ = 0;     // errors said or not, so that a walk knows one came
    std::uint64_t unsettled_ = 0;  // listings given up while files kept moving
    Clock::time_point retry_at_{};
    Clock::time_point late_check_at_{};
    std::chrono::milliseconds backoff_{0};
};

#endif
