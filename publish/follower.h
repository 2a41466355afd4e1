#ifndef SFPUBLISH_FOLLOWER_H
#define SFPUBLISH_FOLLOWER_H

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

// Follows a log by name, as tail -F does: a file moved away or deleted is
// read to its end, then the new file under the name from its start. Files
// are told apart by identity, so a place in one survives a rotation, and one
// found beside the log as LOG.1 (where logrotate leaves it) is finished first.
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

    // Appends to out the whole lines from at on, up to room bytes, each with
    // its newline; moves at past them and numbers them. Lines numbered below
    // skip_to are passed over, and the call returns as soon as they are. A
    // malformed line is named on standard error once and passed over. At the
    // end of a file that the log is no longer, moves at on to the log's
    // start. Returns the number of lines appended.
    std::size_t read(Position &at, std::uint64_t skip_to, std::string &out, std::size_t room);

private:
    struct File {
        dev_t dev;
        ino_t ino;
        int fd;
        std::string name;
        off_t reported;  // malformed lines before this have been named
    };
    File *file_at(Position &at);
    File *open_as(const std::string &path, const Position &at);
    bool move_on(File &file, Position &at);
    void forget_old();
    static constexpr std::size_t max_files = 4;

    std::string log_;
    int watch_ = -1;
    std::vector<File> files_;
    std::vector<char> buffer_;
    dev_t end_dev_ = 0;
    ino_t end_ino_ = 0;
    off_t end_ = -1;  // -1: no end
};

#endif
