// Where the follower goes next in the files logrotate makes of a log,
// decided from the place it is at, the files it has numbered and a listing
// of the folder: no I/O, so that every rotation can be told by table.
#ifndef SFPUBLISH_WHERE_NEXT_H
#define SFPUBLISH_WHERE_NEXT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "state.h"

// A file as listed, oldest first: logrotate's files of the log (numbered,
// dated, compressed or not), then the log itself when it is there.
struct ListedFile {
    std::uint64_t print = 0;  // 0: not yet a whole first line
    bool log = false;         // the log itself
    bool unknown = false;     // its print cannot be read now (a read error): it may be any file
};

struct NextStep {
    enum Kind {
        wait,   // nothing to read now
        read,   // read on in file from the place
        enter,  // file from its start, its first line numbered first
        gap,    // the lines from the place's number up to first are no longer on the gateway;
                // what follows is file from its start, numbered from first
    } kind = wait;
    std::size_t file = 0;
    std::int64_t first = 0;
    bool gone = false;   // the place's file is among none of the files listed
    bool fresh = false;  // gap: file was never numbered, and numbers before first may have gone out
                         // with lines now gone, so its lines start a new epoch whatever the collector has
};

// The place is in the file with print (0: no file yet: the first file with a
// first line listed after the newest numbered one, the caller listing files
// that were there before a first start as without one), before line seq of
// the epoch; finished when it has read that file to its end. Numbers before
// high may have been given to lines (by a run before too, as its state
// reserved them). A file is the one with its print wherever it went
// (renamed, copied, compressed, remounted); where a copy is under way, the
// newer name. At a file's end the next is the next one listed with a first
// line, a file of the same print or numbered before it (dated names that do
// not sort by date) passed over. A file already numbered goes on from its
// mark, a new one from seq. A place whose file is gone goes on with the next
// numbered file still listed, else with the files listed after the newest
// numbered one still there, else with the log. A new file met behind the
// numbers given out (a resend, a file numbered after this one gone) never
// takes the numbers of the lines it follows: a gap. A file whose print is
// unknown stops the way where the next file may be it: passed over only
// when older than the place's file.
NextStep where_next(std::uint64_t print, std::uint64_t seq, std::uint64_t high, bool finished,
                    const std::vector<FileMark> &marks, const std::vector<ListedFile> &files);

#endif
