// Where the follower goes next, one row a rotation: the place (the print of
// its file, the next line's number, whether that file was read to its end),
// the files numbered so far, the folder as listed, and the step.
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "where_next.h"

namespace {

using Kind = NextStep::Kind;

// Prints of distinct files; 0 is a file without a whole first line yet.
constexpr std::uint64_t A = 0xa, B = 0xb, C = 0xc, X = 0x1, Y = 0x2, Z = 0x3;

ListedFile rotated(std::uint64_t print) { return {print, false}; }
ListedFile log_file(std::uint64_t print) { return {print, true}; }
ListedFile unreadable() { return {0, false, true}; }  // its print cannot be read now

struct Row {
    // In the order the rows give them; kept in another, without padding.
    Row(const char *name, std::uint64_t print, std::uint64_t seq, std::uint64_t high, bool finished,
        std::vector<FileMark> marks, std::vector<ListedFile> files, Kind kind, std::size_t file = 0,
        std::int64_t first = 0, bool gone = false, bool fresh = false)
        : name(name),
          print(print),
          seq(seq),
          high(high),
          marks(std::move(marks)),
          files(std::move(files)),
          file(file),
          first(first),
          kind(kind),
          finished(finished),
          gone(gone),
          fresh(fresh) {}
    const char *name;
    std::uint64_t print;
    std::uint64_t seq;
    std::uint64_t high;  // numbers given out before this
    std::vector<FileMark> marks;
    std::vector<ListedFile> files;
    std::size_t file;
    std::int64_t first;
    Kind kind;
    bool finished;
    bool gone;
    bool fresh;
};

// clang-format off
const Row rows[] = {
    {"reading on in the log", A, 11, 11, false, {{A, 1}}, {log_file(A)}, Kind::read, 0},
    {"at the log's end", A, 11, 11, true, {{A, 1}}, {log_file(A)}, Kind::wait},
    {"create: rotated, the new log still empty", A, 11, 11, true, {{A, 1}}, {rotated(A), log_file(0)}, Kind::wait},
    {"create: the new log's first line", A, 11, 11, true, {{A, 1}}, {rotated(A), log_file(B)}, Kind::enter, 1, 11},
    {"nocreate: rotated, no log yet", A, 11, 11, true, {{A, 1}}, {rotated(A)}, Kind::wait},
    {"nocreate: rotated, then the logger's new log", A, 11, 11, true, {{A, 1}}, {rotated(A), log_file(B)}, Kind::enter, 1, 11},
    {"rotated while read: read on in LOG.1", A, 11, 11, false, {{A, 1}}, {rotated(A), log_file(B)}, Kind::read, 0},
    {"stopped across two rotations: its file is LOG.2", A, 1001, 1001, false, {{A, 1}},
     {rotated(A), rotated(B), log_file(C)}, Kind::read, 0},
    {"stopped across two rotations: LOG.1 next", A, 2001, 2001, true, {{A, 1}},
     {rotated(A), rotated(B), log_file(C)}, Kind::enter, 1, 2001},
    {"stopped across two rotations: then the log", B, 3001, 3001, true, {{A, 1}, {B, 2001}},
     {rotated(A), rotated(B), log_file(C)}, Kind::enter, 2, 3001},
    {"compress without delaycompress, behind: its file is LOG.1.gz", A, 501, 501, false, {{A, 1}},
     {rotated(A), log_file(B)}, Kind::read, 0},
    {"delaycompress, behind by many rotations: LOG.5.gz to LOG.1", A, 501, 501, true, {{A, 1}},
     {rotated(X), rotated(A), rotated(B), rotated(C), log_file(Y)}, Kind::enter, 2, 501},
    {"dateext: LOG-DATE next", A, 11, 11, true, {{A, 1}}, {rotated(Z), rotated(A), log_file(B)}, Kind::enter, 2, 11},
    {"copytruncate while stopped: its lines are in the copy", A, 1001, 1001, false, {{A, 1}},
     {rotated(A), log_file(B)}, Kind::read, 0},
    {"copytruncate while stopped: the log after the copy", A, 1501, 1501, true, {{A, 1}},
     {rotated(A), log_file(B)}, Kind::enter, 1, 1501},
    {"copytruncate under way: the log, not the copy", A, 11, 11, false, {{A, 1}},
     {rotated(A), log_file(A)}, Kind::read, 1},
    {"copytruncate: the copy's end, the log emptied", A, 11, 11, true, {{A, 1}}, {rotated(A), log_file(0)}, Kind::wait},
    {"copytruncate: a copy ends, the copy of the same file passed over", A, 11, 11, true, {{A, 1}},
     {rotated(A), rotated(A), log_file(B)}, Kind::enter, 2, 11},
    {"rotate 0: its file deleted, a new log", A, 11, 11, false, {{A, 1}}, {log_file(B)}, Kind::enter, 0, 11, true},
    {"rotate 0: deleted, no log yet", A, 11, 11, false, {{A, 1}}, {}, Kind::wait, 0, 0, true},
    {"an empty rotated file is passed over", A, 11, 11, true, {{A, 1}},
     {rotated(A), rotated(0), log_file(B)}, Kind::enter, 2, 11},
    {"the folder remounted: the same prints, the same place", A, 3001, 3001, false, {{A, 1}}, {log_file(A)}, Kind::read, 0},
    {"a first start: the log's start, files from before listed without a first line", 0, 1, 1, false, {},
     {rotated(0), log_file(A)}, Kind::enter, 1, 1},
    {"a first start, rotated before the log was read: that file first", 0, 1, 1, false, {},
     {rotated(0), rotated(B), log_file(A)}, Kind::enter, 1, 1},
    {"a first start, the log without a whole line", 0, 1, 1, false, {}, {log_file(0)}, Kind::wait},
    {"a first start, no log", 0, 1, 1, false, {}, {rotated(0)}, Kind::wait},
    {"written anew under the reader: the log's new lines go on with the numbers", B, 1011, 1011, false,
     {{A, 1}, {B, 1001}}, {rotated(A), log_file(C)}, Kind::enter, 1, 1011, true},
    {"written anew while LOG.1 was unacknowledged: a resend reaches the lines gone", A, 1001, 1001, true,
     {{A, 1}, {B, 1001}, {C, 1011}}, {rotated(A), log_file(C)}, Kind::gap, 1, 1011},
    {"a resend goes on into the file numbered next", A, 1001, 1001, true, {{A, 1}, {B, 1001}},
     {rotated(A), log_file(B)}, Kind::enter, 1, 1001},
    {"a copy shorter than what was read: the rest is gone", A, 900, 900, true, {{A, 1}, {B, 1001}},
     {rotated(A), log_file(B)}, Kind::gap, 1, 1001},
    {"gone, the next numbered file still here, nothing between", A, 2001, 2001, false, {{A, 1}, {B, 2001}},
     {rotated(B), log_file(C)}, Kind::enter, 0, 2001, true},
    {"gone with lines numbered after the place", A, 1500, 1500, false, {{A, 1}, {B, 2001}},
     {rotated(B), log_file(C)}, Kind::gap, 0, 2001, true},
    {"gone, the files after the newest known one follow it", A, 101, 101, false, {{Z, 1}, {A, 51}},
     {rotated(Z), rotated(B), log_file(C)}, Kind::enter, 1, 101, true},
    {"gone, none of its files left: the log, older files unknown", A, 101, 101, false, {{A, 1}},
     {rotated(X), rotated(Y), log_file(C)}, Kind::enter, 2, 101, true},
    {"a resend from LOG.1 meets a new file where a numbered one went", A, 1001, 1011, true, {{A, 1}, {B, 1001}},
     {rotated(A), log_file(C)}, Kind::gap, 1, 1011, false, true},
    {"restarted, the file numbered after the place gone: no number twice", A, 1001, 1001, true, {{A, 1}, {B, 1001}},
     {rotated(A), log_file(C)}, Kind::gap, 1, 1001, false, true},
    {"a copy shorter than what was read, then the log's new lines", A, 900, 1011, true, {{A, 1}},
     {rotated(A), log_file(B)}, Kind::gap, 1, 1011, false, true},
    {"dated names not sorting by date (-%d%m%Y): an older file listed after the place is passed over", A, 101, 101,
     true, {{Z, 1}, {A, 51}}, {rotated(A), rotated(Z), log_file(B)}, Kind::enter, 2, 101},
    {"dated names not sorting by date, the place gone: the file numbered after it, wherever listed", A, 101, 101,
     false, {{Z, 1}, {A, 51}, {B, 101}}, {rotated(B), rotated(Z), log_file(C)}, Kind::enter, 0, 101, true},
    // high is what the state reserved: after a kill, numbers up to it may have gone out.
    {"restarted after a kill, its file deleted (rotate 0): the new log past the reservation", A, 1001, 17385, false,
     {{A, 1}}, {log_file(B)}, Kind::gap, 0, 17385, true, true},
    {"restarted after a clean stop, its file deleted: the new log past the last number given", A, 1001, 1501, false,
     {{A, 1}}, {log_file(B)}, Kind::gap, 0, 1501, true, true},
    {"restarted after a kill, its file read to its end below the reservation (cut short?)", A, 1501, 17385, true,
     {{A, 1}}, {rotated(A), log_file(B)}, Kind::gap, 1, 17385, false, true},
    {"restarted after a kill, the file entered before it marked: its numbers", A, 1501, 17385, true,
     {{A, 1}, {B, 1501}}, {rotated(A), log_file(B)}, Kind::enter, 1, 1501},
    {"restarted after a kill, nothing past the place reserved: the new log goes on", A, 1501, 1501, true, {{A, 1}},
     {rotated(A), log_file(B)}, Kind::enter, 1, 1501},
    {"an older file unreadable (LOG.7.gz, mode 000): the others are followed", A, 11, 11, true, {{A, 1}},
     {unreadable(), rotated(A), log_file(B)}, Kind::enter, 2, 11},
    {"an older file unreadable: reading on", A, 11, 11, false, {{A, 1}}, {unreadable(), rotated(A), log_file(B)},
     Kind::read, 1},
    {"the file after the place unreadable: it may hold the next lines", A, 11, 11, true, {{A, 1}},
     {rotated(A), unreadable(), log_file(B)}, Kind::wait},
    {"the log itself unreadable", A, 11, 11, true, {{A, 1}}, {rotated(A), {0, true, true}}, Kind::wait},
    {"gone, a file unreadable: it may be the place's, nothing is declared gone", A, 101, 101, false, {{A, 1}},
     {unreadable(), log_file(C)}, Kind::wait},
    {"a first start, the file after the newest numbered one unreadable", 0, 1, 1, false, {},
     {unreadable(), log_file(A)}, Kind::wait},
};
// clang-format on

TEST(WhereNext, OneRowARotation) {
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const NextStep step = where_next(row.print, row.seq, row.high, row.finished, row.marks, row.files);
        EXPECT_EQ(step.kind, row.kind);
        if (step.kind == Kind::wait) {
            EXPECT_EQ(step.gone, row.gone);
            continue;
        }
        EXPECT_EQ(step.file, row.file);
        if (step.kind != Kind::read) {
            EXPECT_EQ(step.first, row.first);
        }
        EXPECT_EQ(step.gone, row.gone);
        EXPECT_EQ(step.fresh, row.fresh);
    }
}

}  // namespace
