// The follower on real files: a file whose lines were read, then emptied and
// written anew, must never lend its new lines the numbers of the old ones.
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "contract.h"
#include "fleet_support.h"
#include "follower.h"

namespace {

ino_t inode_of(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// After its ten lines were read, the log is emptied and given count others.
struct BreakCase {
    const char *name;
    int count;
    // Meets the change from the place after the ten lines or from the log's
    // start; the lines it got under the old numbers.
    std::function<std::size_t(Follower &follower, Position &end, Position &start)> look;
};

std::size_t read_at(Follower &follower, Position &at) {
    std::string out;
    return follower.read(at, out, 1 << 20);
}

const BreakCase break_cases[] = {
    {"refilled past the place (copytruncate, then more than before)", 30,
     [](Follower &follower, Position &end, Position &) { return read_at(follower, end); }},
    {"emptied, then fewer lines than before", 3,
     [](Follower &follower, Position &end, Position &) { return read_at(follower, end); }},
    {"refilled, read again from its start (a resend of all it held)", 30,
     [](Follower &follower, Position &, Position &start) { return read_at(follower, start); }},
    {"refilled, one of its lines looked for (a lower ack)", 30,
     [](Follower &follower, Position &, Position &) {
         Position place;
         return follower.find(5, place) ? std::size_t{1} : 0;
     }},
};

// A log of ten lines, all of them read.
struct ReadLog {
    ReadLog() {
        write_file(log, lines_from(0, 10));
        follower.settle(start);
        end = start;
        EXPECT_EQ(read_at(follower, end), 10U);
    }
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    Follower follower{log};
    Position start;  // the log's start
    Position end;    // after its ten lines
};

// Whatever the caller's own place, the break names the start of the file
// that is new, where the new epoch begins, and none of its lines went out
// under the old numbers.
TEST(Follower, BreakNamesTheStartOfTheNewFile) {
    for (const BreakCase &each : break_cases) {
        SCOPED_TRACE(each.name);
        ReadLog here;
        write_file(here.log, lines_from(1000, each.count));
        EXPECT_EQ(each.look(here.follower, here.end, here.start), 0U);
        Position from;
        ASSERT_TRUE(here.follower.take_break(from));
        EXPECT_EQ(from.ino, inode_of(here.log));
        EXPECT_EQ(from.offset, 0);
        here.follower.renumber(from);
        std::string out;
        here.follower.read(from, out, 1 << 20);
        EXPECT_EQ(out, lines_from(1000, each.count));
        EXPECT_EQ(from.seq, static_cast<std::uint64_t>(each.count) + 1);
    }
}

// A new epoch begun elsewhere in the file while its break waited renumbers
// the marks: the break's start follows them, so that a line looked for
// later (a lower ack) is the line it names.
TEST(Follower, BreakStartFollowsMarksRenumberedMeanwhile) {
    ReadLog here;
    Follower &follower = here.follower;
    Position &end = here.end;
    write_file(here.log, lines_from(1000, 30));
    EXPECT_EQ(read_at(follower, end), 0U);
    Position elsewhere = end;  // the old place, line 11, as a resend left it
    elsewhere.offset = 0;
    follower.renumber(elsewhere);
    Position start;
    ASSERT_TRUE(follower.take_break(start));
    follower.renumber(start);
    Position fifth;
    ASSERT_TRUE(follower.find(5, fifth));
    std::string out;
    EXPECT_EQ(follower.read(fifth, out, lines_from(0, 1).size()), 1U);
    EXPECT_EQ(out, lines_from(1004, 1));
}

// The file a place is in is gone: nothing of the log is read under that
// place's numbers; the break names the log's start.
TEST(Follower, NothingIsReadPastAFileGone) {
    ReadLog before;  // then stopped, its place and files kept
    const std::string &log = before.log;
    Position at = before.end;
    ASSERT_EQ(std::rename(log.c_str(), (before.dir / "elsewhere").c_str()), 0);
    write_file(log, lines_from(1000, 30));
    Follower follower(log);
    follower.restore(before.follower.files(), at);
    EXPECT_EQ(read_at(follower, at), 0U);
    Position start;
    ASSERT_TRUE(follower.take_break(start));
    EXPECT_EQ(start.ino, inode_of(log));
    EXPECT_EQ(start.offset, 0);
}

// With -e, the end is what the log held; emptied and written anew
// meanwhile, what it holds then, and -e still comes to its end.
TEST(Follower, EndFollowsALogWrittenAnew) {
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    write_file(log, lines_from(0, 10));
    Follower follower(log);
    follower.stop_at_current_end();
    Position at;
    follower.settle(at);
    std::string out;
    EXPECT_EQ(follower.read(at, out, lines_from(0, 5).size()), 5U);
    write_file(log, lines_from(1000, 30) + "1800000000.000000 01");  // and a line not yet whole
    EXPECT_EQ(read_at(follower, at), 0U);
    ASSERT_TRUE(follower.take_break(at));
    follower.renumber(at);
    out.clear();
    for (int turn = 0; turn < 10 && !follower.at_end(at); ++turn) follower.read(at, out, 1 << 20);
    EXPECT_TRUE(follower.at_end(at));
    EXPECT_EQ(out, lines_from(1000, 30));
}

// A well-formed line too long for any batch is passed over, so a place found
// by counting (for a lower ack) is the line that reading numbers so.
TEST(Follower, CountingPassesOverWhatReadingPassesOver) {
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    const std::string tail = "1800000000.000000 00 \n";  // leading zeros keep the timestamp in range
    const std::string long_line = std::string(max_payload - 20 - tail.size(), '0') + tail;
    write_file(log, lines_from(0, 3) + long_line + lines_from(3, 3));
    Follower follower(log);
    Position at;
    follower.settle(at);
    std::string out;
    while (follower.read(at, out, max_payload) > 0) {
    }
    ASSERT_EQ(out, lines_from(0, 6));
    Position fifth;
    ASSERT_TRUE(follower.find(5, fifth));
    out.clear();
    EXPECT_EQ(follower.read(fifth, out, lines_from(0, 1).size()), 1U);
    EXPECT_EQ(out, lines_from(4, 1));
}

}  // namespace
