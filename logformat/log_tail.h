#ifndef SFLOG_LOG_TAIL_H
#define SFLOG_LOG_TAIL_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <sys/types.h>

// What a tail knows when it looks at its log; decide_tail's input.
struct TailLook {
    bool earlier = false;       // a file renamed away or removed is set aside, for late writers
    bool earlier_line = false;  // ... a whole line waits in it
    bool earlier_done = false;  // ... it was set aside LogTail::linger ago
    bool open = false;          // a file under the name is being read
    bool shrunk = false;        // it is shorter than the place reached, or its first bytes changed
    bool line_waits = false;    // a whole line follows the place reached
    bool named = false;         // a regular file is under the log's name now
    bool named_same = false;    // ... and it is the file being read
};

enum class TailStep {
    read_earlier,   // hand out the lines that wait in the file set aside
    close_earlier,  // done with the file set aside (a part line left at its end is torn)
    open_named,     // open the file under the name and read it from its start
    wait,           // nothing to do until the log changes (or the file set aside is done)
    start_over,     // the file was truncated or written anew: read it again from its start
    read,           // hand out the lines that wait
    set_aside       // the name has moved on: keep reading the file for the linger time
};

// The rules of following a log by name, as tail -F does. A writer that
// opened the log just before it was renamed writes its line there after the
// rename: lines in the file set aside are read before those in the new one,
// and a writer that writes line after line (sflogger, sfcollect) writes its
// late line before any in the new file, so its order is kept.
TailStep decide_tail(const TailLook &look);

// Follows a growing log by its name: a file renamed away or removed is read
// to its end, and set aside for the linger time for a writer that opened it
// just before, while the file under the name is read from its start; a file
// truncated, or emptied and written anew (copytruncate), is read again from
// its start.
// It hands out whole lines, read at its place with pread, and keeps nothing
// that grows with the log: the file itself holds what is not yet read.
class LogTail {
public:
    static constexpr std::chrono::milliseconds linger{100};
    enum Start { from_start, from_end };

    // from_end: the file under the name at the first read is read from after
    // its last whole line; a file found there later from its start.
    LogTail(std::string path, Start start);
    ~LogTail();
    LogTail(const LogTail &) = delete;
    LogTail &operator=(const LogTail &) = delete;

    enum Result {
        lines,  // data[0, size) holds whole lines, each with its newline
        none,   // nothing to read until the log changes
        later   // nothing now: read again at retry_at() (or when the log changes)
    };
    // Reads the lines at the place reached into data, up to room bytes (at
    // least 2 * max_log_line), without moving the place: consume does that.
    // A run of room bytes without a newline is passed over and noted.
    Result read(char *data, std::size_t room, std::size_t &size);
    void consume(std::size_t size) { (from_earlier_ ? earlier_at_ : at_) += static_cast<off_t>(size); }
    std::chrono::steady_clock::time_point retry_at() const { return retry_at_; }

    const std::string &path() const { return path_; }
    // The place reached in the file the last lines came from.
    off_t place() const { return from_earlier_ ? earlier_at_ : at_; }

    // Called with one line, without a newline, for each thing worth telling a
    // user: a truncation, a torn end, a run without newlines, a failed call.
    std::function<void(const std::string &)> on_note;

private:
    static constexpr std::size_t head_room = 32;
    void note(const std::string &text) const;
    int open_named(const struct stat &named);
    bool same_head(off_t size);
    void seek_last_line(off_t size);
    std::size_t lines_at(int fd, off_t &at, off_t size, char *data, std::size_t room);
    void close_earlier(off_t size);

    std::string path_;
    Start start_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t at_ = 0;
    char head_[head_room] = {};
    std::size_t head_size_ = 0;
    int earlier_fd_ = -1;  // the file set aside
    off_t earlier_at_ = 0;
    std::chrono::steady_clock::time_point earlier_since_{};
    bool from_earlier_ = false;  // the last lines handed out came from it
    int failed_ = 0;             // why the last open failed
    std::chrono::steady_clock::time_point retry_at_{};
};

#endif
