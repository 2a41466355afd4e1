// The follower on real files: a file is its content, found wherever
// logrotate put it (copied, compressed), and a file written anew never lends
// its new lines the numbers of the old ones.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <zlib.h>

#include "contract.h"
#include "fleet_support.h"
#include "follower.h"

namespace {

std::size_t read_at(Follower &follower, Position &at) {
    std::string out;
    return follower.read(at, out, 1 << 20);
}

// Reads until nothing more comes for a while: a rotated file is left only
// a moment after it was seen to be rotated.
std::string read_all(Follower &follower, Position &at) {
    std::string out;
    for (int quiet = 0; quiet < 10; ++quiet)
        if (follower.read(at, out, 1 << 20) > 0)
            quiet = 0;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return out;
}

void move_file(const std::string &from, const std::string &to) { ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0); }

void write_gzip(const std::string &path, const std::string &text) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
}

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

// After its ten lines were read, the log is emptied and given count others:
// those go on with the numbers from 11, and the old lines are no longer found.
TEST(Follower, LogWrittenAnewGoesOnWithTheNumbers) {
    for (const int count : {30, 3}) {
        SCOPED_TRACE(count);
        ReadLog here;
        write_file(here.log, lines_from(1000, count));
        std::string out;
        EXPECT_EQ(here.follower.read(here.end, out, 1 << 20), static_cast<std::size_t>(count));
        EXPECT_EQ(out, lines_from(1000, count));
        EXPECT_EQ(here.end.seq, 11U + static_cast<std::uint64_t>(count));
        Position fifth;
        EXPECT_FALSE(here.follower.find(5, fifth));
        ASSERT_TRUE(here.follower.find(12, fifth));
        out.clear();
        EXPECT_EQ(here.follower.read(fifth, out, lines_from(0, 1).size()), 1U);
        EXPECT_EQ(out, lines_from(1001, 1));
    }
}

// The log rotated, its new lines read, then written anew while LOG.1's
// lines were unacknowledged: a resend from LOG.1's start stops where the
// lines now gone were, naming them and where the numbers go on.
TEST(Follower, ResendStopsBeforeLinesGone) {
    ReadLog here;
    ASSERT_EQ(std::rename(here.log.c_str(), (here.log + ".1").c_str()), 0);
    write_file(here.log, lines_from(10, 5));  // numbered 11 to 15
    EXPECT_EQ(read_all(here.follower, here.end), lines_from(10, 5));
    write_file(here.log, lines_from(1000, 4));
    EXPECT_EQ(read_all(here.follower, here.end), lines_from(1000, 4));
    Position from = here.start;
    EXPECT_EQ(read_all(here.follower, from), lines_from(0, 10));
    Gap gap;
    ASSERT_TRUE(here.follower.gap_at(from, gap));
    EXPECT_EQ(gap.first, 11U);
    EXPECT_EQ(gap.last, 15U);
    EXPECT_EQ(gap.resume.seq, 16U);
    EXPECT_EQ(gap.resume.offset, 0);
    here.follower.renumber(gap.resume);
    EXPECT_EQ(read_all(here.follower, gap.resume), lines_from(1000, 4));
    EXPECT_EQ(gap.resume.seq, 5U);
}

// After its ten lines were read, the log is cut short in place to its first
// four (truncate -s), then written on. Its lines after the cut are a gap, a
// new epoch, counted from the file's start; a resend from the log's start
// stops at the cut, never giving the new lines the old numbers.
TEST(Follower, LogCutShortInPlaceStartsANewEpochAtTheCut) {
    ReadLog here;
    const auto kept = static_cast<off_t>(lines_from(0, 4).size());
    ASSERT_EQ(truncate(here.log.c_str(), kept), 0);
    std::string out;
    EXPECT_EQ(here.follower.read(here.end, out, 1 << 20), 0U);
    Gap gap;
    ASSERT_TRUE(here.follower.gap_at(here.end, gap));
    EXPECT_EQ(gap.first, 11U);
    EXPECT_EQ(gap.last, 10U);  // nothing numbered past the cut is unread
    EXPECT_TRUE(gap.fresh);
    EXPECT_EQ(gap.resume.offset, kept);
    EXPECT_EQ(gap.resume.seq, 5U);
    Position from = here.start;
    EXPECT_EQ(read_all(here.follower, from), lines_from(0, 4));
    EXPECT_TRUE(here.follower.gap_at(from, gap));
    Position sixth;
    EXPECT_FALSE(here.follower.find(6, sixth));
    append_file(here.log, lines_from(1000, 3));
    EXPECT_EQ(read_all(here.follower, from), "");
    here.follower.renumber(gap.resume);
    EXPECT_EQ(read_all(here.follower, gap.resume), lines_from(1000, 3));
    EXPECT_EQ(gap.resume.seq, 4U);
    Position second;
    ASSERT_TRUE(here.follower.find(2, second));
    out.clear();
    EXPECT_EQ(here.follower.read(second, out, lines_from(0, 1).size()), 1U);
    EXPECT_EQ(out, lines_from(1001, 1));
}

// copytruncate: the place is found in the copy, read to its end, then the
// log's new lines follow; a line sent before is found in the copy.
TEST(Follower, CopyTruncateReadsOnInTheCopy) {
    ReadLog here;
    append_file(here.log, lines_from(10, 5));
    write_file(here.log + ".1", read_file(here.log));
    write_file(here.log, lines_from(1000, 3));
    EXPECT_EQ(read_all(here.follower, here.end), lines_from(10, 5) + lines_from(1000, 3));
    Position third;
    ASSERT_TRUE(here.follower.find(3, third));
    std::string out;
    EXPECT_EQ(here.follower.read(third, out, lines_from(0, 1).size()), 1U);
    EXPECT_EQ(out, lines_from(2, 1));
}

// Behind by two rotations, compress without delaycompress: the file it was
// in is LOG.2.gz, read through zlib from the place on, then LOG.1.gz, then the log.
TEST(Follower, CompressedFilesAreReadFromThePlace) {
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    write_file(log, lines_from(0, 10));
    Position at;
    {
        Follower before(log);
        before.settle(at);
        EXPECT_EQ(read_at(before, at), 10U);
        Follower after(log);
        after.restore(before.files());
        append_file(log, lines_from(10, 20));
        write_gzip(log + ".2.gz", read_file(log));
        write_gzip(log + ".1.gz", lines_from(100, 7));
        write_file(log, lines_from(200, 3));
        EXPECT_EQ(read_all(after, at), lines_from(10, 20) + lines_from(100, 7) + lines_from(200, 3));
        EXPECT_EQ(at.seq, 41U);
        Position twelfth;
        ASSERT_TRUE(after.find(12, twelfth));
        std::string out;
        EXPECT_EQ(after.read(twelfth, out, lines_from(0, 1).size()), 1U);
        EXPECT_EQ(out, lines_from(11, 1));
    }
}

// A first start before the log has a line, with a file rotated earlier
// beside it: that file is history; a log rotated before it was first read is
// not, and is read before the new log.
TEST(Follower, FirstStartShipsWhatWasRotatedAfterIt) {
    const TempDir dir;
    const std::string log = dir / "gw1.log";
    write_file(log + ".1", lines_from(0, 10));
    Follower follower(log);
    Position at;
    follower.settle(at);
    EXPECT_EQ(at.print, 0U);
    write_file(log, lines_from(100, 5));
    move_file(log + ".1", log + ".2");
    move_file(log, log + ".1");
    write_file(log, lines_from(200, 3));
    EXPECT_EQ(read_all(follower, at), lines_from(100, 5) + lines_from(200, 3));
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
    ASSERT_EQ(read_all(follower, at), lines_from(0, 6));
    Position fifth;
    ASSERT_TRUE(follower.find(5, fifth));
    std::string out;
    EXPECT_EQ(follower.read(fifth, out, lines_from(0, 1).size()), 1U);
    EXPECT_EQ(out, lines_from(4, 1));
}

// Restarted after a kill with the log's ten lines read and numbers up to
// 100 reserved, then the log rotated: the numbers past its end were never
// given when the place the state says they end at is still in the log;
// else they may have been, and the new log starts a new epoch past them.
struct ReservedCase {
    const char *name;
    off_t past_end;   // where the numbers given end, past the log's end now by this much (cut while stopped)
    bool known;       // the state says where they end
    bool other_file;  // in another file than the log
    bool takes_them;  // the new log's lines take 11 on, in the epoch
};

const ReservedCase reserved_cases[] = {
    {"the log whole", 0, true, false, true},
    {"the log cut short while stopped", 30, true, false, false},
    {"where they end not known", 0, false, false, false},
    {"ending in a file gone", 0, true, true, false},
};

TEST(Follower, ReservationPastAWholeFileIsNotGiven) {
    for (const ReservedCase &row : reserved_cases) {
        SCOPED_TRACE(row.name);
        ReadLog here;
        const Position &end = here.follower.high_at();
        ASSERT_EQ(end.offset, here.end.offset);
        Numbers numbers{11, 100};
        if (row.known) {
            numbers.print = row.other_file ? end.print + 1 : end.print;
            numbers.offset = end.offset + row.past_end;
        }
        Follower after(here.log);
        after.restore(here.follower.files(), numbers);
        move_file(here.log, here.log + ".1");
        write_file(here.log, lines_from(1000, 3));
        Position at = here.end;
        const std::string read = read_all(after, at);
        Gap gap;
        if (row.takes_them) {
            EXPECT_EQ(read, lines_from(1000, 3));
            EXPECT_EQ(at.seq, 14U);
            continue;
        }
        EXPECT_EQ(read, "");
        ASSERT_TRUE(after.gap_at(at, gap));
        EXPECT_TRUE(gap.fresh);
        EXPECT_EQ(gap.first, 11U);
        EXPECT_EQ(gap.last, 99U);
    }
}

}  // namespace
