// The follower on real files: a file whose lines were read, then emptied and
// written anew, must never lend its new lines the numbers of the old ones.
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Whatever the caller's own place, the break names the start of the file
// that is new, where the new epoch begins, and none of its lines went out
// under the old numbers.
TEST(Follower, BreakNamesTheStartOfTheNewFile) {
    for (const BreakCase &each : break_cases) {
        SCOPED_TRACE(each.name);
        const TempDir dir;
        const std::string log = dir / "gw1.log";
        write_file(log, lines_from(0, 10));
        Follower follower(log);
        Position start;
        follower.settle(start);
        Position end = start;
        std::string out;
        ASSERT_EQ(follower.read(end, out, 1 << 20), 10U);
        ASSERT_EQ(out, lines_from(0, 10));
        write_file(log, lines_from(1000, each.count));
        EXPECT_EQ(each.look(follower, end, start), 0U);
        Position from;
        ASSERT_TRUE(follower.take_break(from));
        EXPECT_EQ(from.ino, inode_of(log));
        EXPECT_EQ(from.offset, 0);
        follower.renumber(from);
        out.clear();
        follower.read(from, out, 1 << 20);
        EXPECT_EQ(out, lines_from(1000, each.count));
        EXPECT_EQ(from.seq, static_cast<std::uint64_t>(each.count) + 1);
    }
}

// A new epoch begun elsewhere in the file while its break waited renumbers
// the marks: the break's start follows them, so that a line looked for
// later (a lower ack) is the line it names.
TEST(Follower, BreakStartFollowsMarksRenumberedMeanwhile) {
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    write_file(log, lines_from(0, 10));
    Follower follower(log);
    Position end;
    follower.settle(end);
    EXPECT_EQ(read_at(follower, end), 10U);
    write_file(log, lines_from(1000, 30));
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

}  // namespace
