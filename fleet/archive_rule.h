// What sfcollect does with the files of its archive, decided without I/O:
// which failures stop it, when a gateway whose file failed is tried again,
// what is kept of a file it has a record of, and how many files it keeps
// open at once.
#ifndef SF_FLEET_ARCHIVE_RULE_H
#define SF_FLEET_ARCHIVE_RULE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Failure {
    file,         // this gateway's file alone: said, its batches left unacknowledged, tried again later
    descriptors,  // none free: the pass ends, its files are closed, and the call is made again
    disk,         // every gateway would meet it next: the collector stops (status 3)
};
Failure classify_failure(int error);

// How long a gateway whose file failed failures times in a row waits for its next try.
std::chrono::seconds retry_delay(unsigned failures);

enum class FileAction {
    keep,      // the file is as its record says
    cut,       // lines past the record were never acknowledged: cut to size
    take_new,  // recorded anew, at size, before a line goes in
};
struct FilePlan {
    FileAction action = FileAction::keep;
    std::uint64_t size = 0;      // what the record says of the file afterwards
    std::uint64_t vanished = 0;  // bytes acknowledged once and gone from it since
};
// A gateway's log as found: the file its record names (same) or another,
// at size. recorded: it has a record; trusted: no damaged journal entry may
// be a newer record of it, so that what lies past the record was never
// acknowledged.
FilePlan plan_file(bool recorded, bool trusted, std::uint64_t recorded_size, bool same, std::uint64_t size);

// One of a gateway's files as found: its print (0 while it has no first
// line), or none when it could not be read.
struct LogFile {
    std::uint64_t print = 0;
    bool read = true;
    bool compressed = false;
};
enum class Where {
    recorded,    // the file its device and inode name
    moved,       // another plain file: copied, restored, remounted, or kept by a copytruncate
    compressed,  // a compressed file alone: what lies past the record cannot be cut
    nowhere,
    several,  // more plain files than one start as it does: none is taken
};
struct Located {
    Where where = Where::nowhere;
    std::size_t at = 0;  // in files
};
// Which of files is the log a record with print names, files[hint] being
// the one its device and inode name (none when hint is past the end). A
// record without a print has only its device and inode to go by.
Located locate_log(std::uint64_t print, const std::vector<LogFile> &files, std::size_t hint);

// Of lines (whole ones), the bytes of those at their start that held also
// holds at its start, line for line.
std::size_t lines_held(const char *held, std::size_t held_size, const char *lines, std::size_t size);

// Where line (with its newline) starts a line of text, whose first byte
// starts one when at_start; npos when nowhere.
std::size_t find_line(const std::string &text, bool at_start, const char *line, std::size_t size);

// How many gateways' logs may be open at once with limit descriptors: the
// rest are kept for the broker, the journal and the metrics.
std::size_t logs_open_at_most(std::uint64_t limit);

#endif
