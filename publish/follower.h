#ifndef SFPUBLISH_FOLLOWER_H
#define SFPUBLISH_FOLLOWER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "state.h"

// Follows a log by name, as tail -F does: a file moved away or deleted is
// read to its end, then the new file under the name from its start. Files
// are told apart by identity and by their first line, so a place in one
// survives a rotation, and one found beside the log as LOG.1 (where logrotate
// leaves it) is finished first. It numbers the well-formed lines of the epoch
// as it goes and keeps, for each file, the number of its first line, so that
// a line sent before can be found again.
class Follower {
public:
    explicit Follower(std::string log);
    ~Follower();
    Follower(const Follower &) = delete;
    Follower &operator=(const Follower &) = delete;

    // Wakes whenever the log's folder changes; -1 without inotify.
    int watch_fd() const { return watch_; }
    void drain_events() const;

    // Stops reading the file that is the log now at its current size: what
    // the log holds now, and no more.
    void stop_at_current_end();
    // Whether at has reached the end set by stop_at_current_end.
    bool at_end(const Position &at) const;

    // The files of the epoch, oldest first, as the state keeps them; set
    // from the state, whose place at moves to the log's start when its file is gone.
    const std::vector<FileMark> &files() const { return marks_; }
    void restore(const std::vector<FileMark> &files, Position &at);
    // Numbers the lines anew for an epoch whose first line is at at.
    void renumber(Position &at);

    // Appends to out the whole lines from at on, up to room bytes, each with
    // its newline, and moves at past them. Malformed lines and runs longer
    // than a batch without a newline are named on standard error once and
    // passed over. At the end of a file that the log is no longer, reads it
    // once more, then moves at on to the log's start. Returns the number of
    // lines appended.
    std::size_t read(Position &at, std::string &out, std::size_t room);
    // Passes over lines until at.seq is to; false when the log ends first.
    bool skip(Position &at, std::uint64_t to);
    // The place of line seq of the epoch; false when the gateway no longer holds it.
    bool find(std::uint64_t seq, Position &at);
    // The place of the first line at or after seq that the gateway still
    // holds, when there is one before at; at is left alone otherwise.
    void find_held(std::uint64_t seq, Position &at);
    // Whether a place moved to a file that does not go on from the last
    // one: the file was gone, truncated or written anew. Its lines cannot
    // take on the epoch's numbers, since the collector may have others under
    // them; the caller starts a new epoch at start, that file's start (the
    // log's start when start.ino is 0) numbered as the files are now,
    // wherever its own place has moved since. Cleared by the call.
    bool take_break(Position &start);
    // Whether at is in the file that broke, or in the one where the break's
    // start is (the log, for a file gone), while a break waits to be taken.
    bool broke_in(const Position &at) const {
        return broken_ && ((at.dev == broke_dev_ && at.ino == broke_ino_) ||
                           (break_at_.ino != 0 && at.dev == break_at_.dev && at.ino == break_at_.ino));
    }
    // A place in no file yet moves to the log's start, once there is a log.
    void settle(Position &at);
    // The bytes of the files it knows from at on: what is not yet
    // acknowledged when at is the acknowledged place.
    std::uint64_t bytes_after(const Position &at) const;
    // The timestamp of the first whole line from at on; false when there is none yet.
    bool timestamp_at(const Position &at, long long &micros) const;

    // Called for each malformed line or overlong run, as it is named.
    std::function<void()> on_malformed;

private:
    struct File {
        dev_t dev;
        ino_t ino;
        int fd;
        std::string name;
        off_t named = 0;        // malformed lines before this have been named
        off_t run_at = -1;      // where a run longer than a batch starts, while it is passed over
        off_t run_checked = 0;  // it has no newline before this
        bool rotated = false;   // the log has moved on; read once more, a moment later, before leaving
        std::chrono::steady_clock::time_point rotated_at{};
    };
    enum Mode { ship, count };
    std::size_t walk(Position &at, std::string *out, std::size_t room, std::uint64_t stop, Mode mode);
    File *file_at(Position &at);
    File *open_as(const std::string &path, dev_t dev, ino_t ino);
    File *open_known(dev_t dev, ino_t ino);
    FileMark *mark_of(dev_t dev, ino_t ino);
    void note_file(const File &file, std::int64_t first);
    bool replaced(File &file);
    void restart(File &file, Position &at);
    void note_break(dev_t dev, ino_t ino, const Position &start);
    bool pass_long_run(File &file, Position &at, bool quiet);
    bool move_on(File &file, Position &at, bool quiet);
    void forget_old();

    std::string log_;
    int watch_ = -1;
    std::vector<File> files_;      // open, at most max_files
    std::vector<FileMark> marks_;  // at most max_marks
    std::vector<char> buffer_;
    dev_t end_dev_ = 0;
    ino_t end_ino_ = 0;
    off_t end_ = -1;  // -1: no end
    bool broken_ = false;
    Position break_at_{};
    dev_t broke_dev_ = 0;  // the file that broke
    ino_t broke_ino_ = 0;
};

#endif
