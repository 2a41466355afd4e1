#ifndef SFPUBLISH_STATE_H
#define SFPUBLISH_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "lost_range.h"

// A place in the gateway's log: the file, known by its print (a hash of its
// start, since logrotate renames, copies and compresses it and a remount
// changes its device), the byte offset of a line in it and that line's
// number in the file, and the number in the epoch of the next line shipped.
struct Position {
    std::uint64_t print = 0;  // 0: no file yet, the log's start once it has a line
    off_t offset = 0;         // in the file's bytes, uncompressed
    std::uint64_t line = 0;   // lines of the file before offset
    std::uint64_t seq = 1;
};

// A file the log has been, by its print, with the number in the epoch of its
// first well-formed line. Marks are kept in the order of the files, and a
// file's lines run up to the next file's first: any line of the epoch can be
// found again by counting within one file.
struct FileMark {
    std::uint64_t print = 0;
    std::int64_t first = 1;  // 0 or below when the epoch began inside the file
};

// The numbers of the epoch handed out to lines, as far as a restart can know
// them: those before given were, those from reserved on never were. A run
// saves a reservation before any line past it goes out, so that a restart
// never gives a number twice; a clean stop saves both as the exact count.
// 0: not known (a state written before they were kept). The place where
// the lines numbered before given end tells a restart whether the file that
// held them is still whole: then no number past its end was given either.
struct Numbers {
    std::uint64_t given = 0;
    std::uint64_t reserved = 0;
    std::uint64_t print = 0;  // 0: the place is not known
    off_t offset = 0;
};

// The log cut short in place, as found (truncate -s): nothing past the last
// whole line kept is read in this epoch, since the lines written after the
// cut would take numbers that went out with the lines cut off. Kept until
// the new epoch that ships them is durable. print 0: none.
struct Cut {
    Position at;             // the first place past the lines kept
    std::uint64_t high = 0;  // numbers before this went out before the cut was found
};

struct PublishState {
    std::uint64_t epoch = 0;
    Position acked;               // the first line the collector does not have
    std::vector<FileMark> files;  // oldest first
    Numbers numbers;
    Cut cut;
    // Lines lost at the gateway, to be told with the epoch's first batch
    // until the collector acknowledges it.
    std::vector<LostRange> lost;
};

// The state as its file holds it: "EPOCH SEQ PRINT OFFSET LINE", then a line
// "file PRINT FIRST" for each file, then "numbers GIVEN RESERVED [PRINT
// OFFSET]", then
// "cut PRINT OFFSET LINE SEQ HIGH" while a cut waits, then "lost EPOCH
// FIRST LAST" for each range lost. A state without the last
// lines, and one of the form that named files by device and inode ("EPOCH
// SEQ DEV INO OFFSET LINE", "file DEV INO PRINT FIRST"), are read too.
// False, with error set, when the text is none of these.
bool parse_state(const std::string &text, PublishState &state, std::string &error);
std::string format_state(const PublishState &state);

// False when there is no state file; a file that does not read as one is an
// error (error set), so that a damaged state never starts a new epoch silently.
bool load_state(const std::string &path, PublishState &state, bool &found, std::string &error);
// Replaced durably: a crash or power loss leaves the old state or the new one.
bool save_state(const std::string &path, const PublishState &state, std::string &error);

// A random epoch, never 0.
std::uint64_t draw_epoch();

#endif
