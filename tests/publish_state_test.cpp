// sfpublish's state file, as written now and as earlier versions wrote it
// (files by device and inode): one row a text.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "state.h"

namespace {

struct Row {
    const char *name;
    const char *text;
    bool fits;
    std::uint64_t print = 0;  // the place's file
    off_t offset = 0;
    std::uint64_t line = 0;
    std::uint64_t seq = 0;
    std::vector<FileMark> files{};
    Numbers numbers{};
    std::vector<LostRange> lost{};
    Cut cut{};
};

// clang-format off
const Row rows[] = {
    {"a first line only", "00000000000000ab 7 0000000000000000 0 0\n", true, 0, 0, 0, 7},
    {"a place and its files",
     "00000000000000ab 1501 00000000000000c2 4096 120\nfile 00000000000000c1 1\nfile 00000000000000c2 1001\n",
     true, 0xc2, 4096, 120, 1501, {{0xc1, 1}, {0xc2, 1001}}},
    {"an epoch begun inside its file", "00000000000000ab 3 00000000000000c1 90 9\nfile 00000000000000c1 -6\n",
     true, 0xc1, 90, 9, 3, {{0xc1, -6}}},
    {"the older form: the place's file by device and inode",
     "00000000000000ab 1501 2049 77 4096 120\nfile 2049 76 00000000000000c1 1\nfile 2049 77 00000000000000c2 1001\n",
     true, 0xc2, 4096, 120, 1501, {{0xc1, 1}, {0xc2, 1001}}},
    {"the older form, the place's file not kept: the log's start",
     "00000000000000ab 1501 2049 78 4096 120\nfile 2049 76 00000000000000c1 1\n",
     true, 0, 0, 0, 1501, {{0xc1, 1}}},
    {"the older form without files", "00000000000000ab 12 2049 78 300 11\n", true, 0, 0, 0, 12},
    {"the numbers handed out",
     "00000000000000ab 1501 00000000000000c2 4096 120\nfile 00000000000000c2 1\nnumbers 1700 17884\n",
     true, 0xc2, 4096, 120, 1501, {{0xc2, 1}}, {1700, 17884}},
    {"lines lost, not yet told",
     "00000000000000ab 1 00000000000000c2 0 0\nfile 00000000000000c2 1\nnumbers 1 16384\n"
     "lost 00000000000000aa 1001 1500\nlost 00000000000000a9 7 7\n",
     true, 0xc2, 0, 0, 1, {{0xc2, 1}}, {1, 16384}, {{0xaa, 1001, 1500}, {0xa9, 7, 7}}},
    {"the numbers and where they end",
     "00000000000000ab 1501 00000000000000c2 4096 120\nfile 00000000000000c2 1\nnumbers 1700 17884 00000000000000c2 "
     "9000\n",
     true, 0xc2, 4096, 120, 1501, {{0xc2, 1}}, {1700, 17884, 0xc2, 9000}},
    {"numbers ending in no file", "00000000000000ab 7 00000000000000c2 0 0\nnumbers 7 9 0000000000000000 30\n", false},
    {"numbers ending without an offset", "00000000000000ab 7 00000000000000c2 0 0\nnumbers 7 9 00000000000000c2\n",
     false},
    {"a cut waiting for its new epoch",
     "00000000000000ab 4001 00000000000000c2 90000 4000\nfile 00000000000000c2 1\nnumbers 5001 20384\n"
     "cut 00000000000000c2 94500 4200 4201 5001\nlost 00000000000000aa 5 6\n",
     true, 0xc2, 90000, 4000, 4001, {{0xc2, 1}}, {5001, 20384}, {{0xaa, 5, 6}}, {{0xc2, 94500, 4200, 4201}, 5001}},
    {"a cut without numbers", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 30 3 4 9\n", true,
     0xc2, 0, 0, 7, {}, {}, {}, {{0xc2, 30, 3, 4}, 9}},
    {"a cut after lost lines",
     "00000000000000ab 7 00000000000000c2 0 0\nlost 00000000000000aa 5 6\ncut 00000000000000c2 30 3 4 9\n", false},
    {"numbers after a cut", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 30 3 4 9\nnumbers 7 9\n",
     false},
    {"two cuts", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 30 3 4 9\ncut 00000000000000c2 30 3 4 9\n",
     false},
    {"a cut below the numbers it kept", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 30 3 4 3\n",
     false},
    {"a cut in no file", "00000000000000ab 7 00000000000000c2 0 0\ncut 0000000000000000 30 3 4 9\n", false},
    {"a cut at line 0", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 0 0 0 9\n", false},
    {"a cut short a word", "00000000000000ab 7 00000000000000c2 0 0\ncut 00000000000000c2 30 4 9\n", false},
    {"lines lost without numbers", "00000000000000ab 1 0000000000000000 0 0\nlost 00000000000000aa 5 6\n", true, 0,
     0, 0, 1, {}, {}, {{0xaa, 5, 6}}},
    {"lost before numbers", "00000000000000ab 1 0000000000000000 0 0\nlost 00000000000000aa 5 6\nnumbers 1 9\n",
     false},
    {"a lost range backwards", "00000000000000ab 1 0000000000000000 0 0\nlost 00000000000000aa 6 5\n", false},
    {"numbers before a file", "00000000000000ab 7 00000000000000c2 0 0\nnumbers 7 9\nfile 00000000000000c2 1\n",
     false},
    {"numbers twice", "00000000000000ab 7 00000000000000c2 0 0\nnumbers 7 9\nnumbers 7 9\n", false},
    {"more given than reserved", "00000000000000ab 7 00000000000000c2 0 0\nnumbers 10 9\n", false},
    {"numbers in the older form", "00000000000000ab 12 2049 78 300 11\nnumbers 7 9\n", false},
    {"forms mixed", "00000000000000ab 1501 00000000000000c2 4096 120\nfile 2049 76 00000000000000c1 1\n", false},
    {"epoch 0", "0000000000000000 7 0000000000000000 0 0\n", false},
    {"line 0", "00000000000000ab 0 0000000000000000 0 0\n", false},
    {"a print not of 16 hex digits", "00000000000000ab 7 c2 0 0\n", false},
    {"a word too many", "00000000000000ab 7 00000000000000c2 0 0 1 2\n", false},
    {"a file line of another kind", "00000000000000ab 7 00000000000000c2 0 0\nmark 00000000000000c2 1\n", false},
    {"empty", "", false},
};
// clang-format on

TEST(PublishState, ParsesBothForms) {
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PublishState state;
        std::string error;
        ASSERT_EQ(parse_state(row.text, state, error), row.fits) << error;
        if (!row.fits) {
            EXPECT_EQ(error, "not a state file of sfpublish");
            continue;
        }
        EXPECT_EQ(state.epoch, 0xabU);
        EXPECT_EQ(state.acked.print, row.print);
        EXPECT_EQ(state.acked.offset, row.offset);
        EXPECT_EQ(state.acked.line, row.line);
        EXPECT_EQ(state.acked.seq, row.seq);
        ASSERT_EQ(state.files.size(), row.files.size());
        for (std::size_t i = 0; i < row.files.size(); ++i) {
            EXPECT_EQ(state.files[i].print, row.files[i].print);
            EXPECT_EQ(state.files[i].first, row.files[i].first);
        }
        EXPECT_EQ(state.numbers.given, row.numbers.given);
        EXPECT_EQ(state.numbers.reserved, row.numbers.reserved);
        EXPECT_EQ(state.numbers.print, row.numbers.print);
        EXPECT_EQ(state.numbers.offset, row.numbers.offset);
        ASSERT_EQ(state.lost.size(), row.lost.size());
        for (std::size_t i = 0; i < row.lost.size(); ++i)
            EXPECT_EQ(format_lost(state.lost[i]), format_lost(row.lost[i]));
        EXPECT_EQ(state.cut.at.print, row.cut.at.print);
        EXPECT_EQ(state.cut.at.offset, row.cut.at.offset);
        EXPECT_EQ(state.cut.at.line, row.cut.at.line);
        EXPECT_EQ(state.cut.at.seq, row.cut.at.seq);
        EXPECT_EQ(state.cut.high, row.cut.high);
        // Written in the present form, and read back the same.
        PublishState again;
        ASSERT_TRUE(parse_state(format_state(state), again, error)) << format_state(state);
        EXPECT_EQ(format_state(again), format_state(state));
    }
}

}  // namespace
