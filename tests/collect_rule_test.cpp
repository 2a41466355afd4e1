// The collector's decisions, one row per scenario, and its journal's entries.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "archive_rule.h"
#include "collect_rule.h"
#include "journal.h"
#include "record_file.h"
#include "support.h"

namespace {

const std::uint64_t current = 0xaaaa000000000001ULL;
const std::uint64_t old = 0xaaaa000000000000ULL;
const std::uint64_t fresh = 0xbbbb000000000000ULL;

TEST(CollectRule, EachScenarioHasOneDecision) {
    const GatewayState known{current, 11, {old}};
    const GatewayState unknown{};
    struct Case {
        const char *scenario;
        GatewayState gateway;
        BatchHead batch;
        Verdict verdict;
        DropReason reason;
        std::uint64_t ack_next;  // of the batch's epoch
        std::uint64_t skip;
        GatewayState after;
    };
    const Case cases[] = {
        {"the next lines",
         known,
         {current, 11, 5, false},
         Verdict::append,
         DropReason::none,
         16,
         0,
         {current, 16, {old}}},
        {"overlapping what it has",
         known,
         {current, 8, 5, false},
         Verdict::append,
         DropReason::none,
         13,
         3,
         {current, 13, {old}}},
        {"all duplicates", known, {current, 3, 5, false}, Verdict::ack, DropReason::none, 11, 0, known},
        {"ending just before next", known, {current, 6, 5, false}, Verdict::ack, DropReason::none, 11, 0, known},
        {"beyond next: one went missing", known, {current, 12, 5, false}, Verdict::ack, DropReason::none, 11, 0, known},
        {"retained", known, {current, 11, 5, true}, Verdict::drop, DropReason::retained, 0, 0, known},
        {"retained of a new epoch", unknown, {fresh, 1, 5, true}, Verdict::drop, DropReason::retained, 0, 0, unknown},
        {"an epoch left behind: its publisher is told",
         known,
         {old, 7, 5, false},
         Verdict::left,
         DropReason::left_behind,
         0,
         0,
         known},
        {"a new epoch from line 1",
         known,
         {fresh, 1, 5, false},
         Verdict::start_append,
         DropReason::none,
         6,
         0,
         {fresh, 6, {old, current}}},
        {"a new epoch not from line 1", known, {fresh, 7, 5, false}, Verdict::ack, DropReason::none, 1, 0, known},
        {"a new gateway from line 1",
         unknown,
         {fresh, 1, 5, false},
         Verdict::start_append,
         DropReason::none,
         6,
         0,
         {fresh, 6, {}}},
        {"a new gateway not from line 1",
         unknown,
         {fresh, 40, 5, false},
         Verdict::ack,
         DropReason::none,
         1,
         0,
         unknown},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const Decision decision = decide_batch(c.gateway, c.batch);
        EXPECT_EQ(decision.verdict, c.verdict);
        EXPECT_EQ(decision.reason, c.reason);
        if (decision.verdict != Verdict::drop) {
            EXPECT_EQ(decision.ack_epoch, c.batch.epoch);
            EXPECT_EQ(decision.ack_next, c.ack_next);
        }
        EXPECT_EQ(decision.skip, c.skip);
        GatewayState after = c.gateway;
        apply_decision(after, c.batch, decision);
        EXPECT_EQ(after.epoch, c.after.epoch);
        EXPECT_EQ(after.next, c.after.next);
        EXPECT_EQ(after.left, c.after.left);
    }
}

// The lines of a batch that the log has already: what the duplicates counter counts.
TEST(CollectRule, DuplicatesAreTheLinesTheLogHas) {
    const GatewayState known{current, 11, {old}};
    struct Case {
        const char *scenario;
        BatchHead batch;
        std::uint64_t duplicates;
    };
    const Case cases[] = {
        {"the next lines", {current, 11, 5, false}, 0},
        {"overlapping what it has by 3", {current, 8, 5, false}, 3},
        {"all of them", {current, 3, 5, false}, 5},
        {"ending just before next", {current, 6, 5, false}, 5},
        {"beyond next: none yet", {current, 12, 5, false}, 0},
        {"an epoch left behind: refused, not duplicates", {old, 1, 5, false}, 0},
        {"a new epoch", {fresh, 1, 5, false}, 0},
        {"retained", {current, 3, 5, true}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        EXPECT_EQ(decide_batch(known, c.batch).duplicates, c.duplicates);
    }
}

// What a new epoch's first batch says was lost at the gateway, less what the log has.
TEST(CollectRule, LostLinesAreThoseTheLogDoesNotHave) {
    const GatewayState known{current, 11, {old}};
    struct Case {
        const char *scenario;
        GatewayState gateway;
        std::vector<LostRange> told;
        std::vector<LostRange> lost;
    };
    const Case cases[] = {
        {"none told", known, {}, {}},
        {"of its epoch, from next on", known, {{current, 11, 20}}, {{current, 11, 20}}},
        {"of its epoch, some in the log: its ack never reached the gateway",
         known,
         {{current, 5, 20}},
         {{current, 11, 20}}},
        {"of its epoch, all in the log: nothing lost", known, {{current, 5, 10}}, {}},
        {"of its epoch, past a gap", known, {{current, 15, 20}}, {{current, 15, 20}}},
        {"of an epoch it left", known, {{old, 1, 3}}, {{old, 1, 3}}},
        {"of an epoch it never saw", known, {{fresh, 100, 100}}, {{fresh, 100, 100}}},
        {"a gateway it has no record of", GatewayState{}, {{current, 1, 4}}, {{current, 1, 4}}},
        {"several", known, {{old, 7, 9}, {current, 1, 10}, {current, 12, 12}}, {{old, 7, 9}, {current, 12, 12}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const std::vector<LostRange> lost = lost_from_log(c.gateway, c.told);
        ASSERT_EQ(lost.size(), c.lost.size());
        for (std::size_t i = 0; i < lost.size(); ++i) {
            EXPECT_EQ(lost[i].epoch, c.lost[i].epoch);
            EXPECT_EQ(lost[i].first, c.lost[i].first);
            EXPECT_EQ(lost[i].last, c.lost[i].last);
        }
    }
}

TEST(CollectRule, RemembersOnlyTheLastEpochsLeftBehind) {
    GatewayState gateway{1, 2, {}};
    for (std::uint64_t epoch = 2; epoch <= max_left_epochs + 3; ++epoch) {
        const BatchHead batch{epoch, 1, 1, false};
        apply_decision(gateway, batch, decide_batch(gateway, batch));
    }
    ASSERT_EQ(gateway.left.size(), max_left_epochs);
    EXPECT_EQ(gateway.left.front(), 3U);
    EXPECT_EQ(gateway.left.back(), max_left_epochs + 2);
}

// An epoch left longer ago than the state's list holds is still left: a
// broker restored from an old save may bring one of its batches, from line 1.
TEST(CollectRule, EpochsLeftLongAgoAreStillLeft) {
    const GatewayState known{current, 11, {old}};
    const ForgottenEpochs forgotten{0x1111000000000000ULL, 0x2222000000000000ULL};
    struct Case {
        const char *scenario;
        BatchHead batch;
        Verdict verdict;
        std::uint64_t ack_next;
    };
    const Case cases[] = {
        {"a forgotten epoch from line 1", {0x1111000000000000ULL, 1, 5, false}, Verdict::left, 0},
        {"a forgotten epoch past line 1", {0x2222000000000000ULL, 9, 5, false}, Verdict::left, 0},
        {"an epoch the list holds", {old, 1, 5, false}, Verdict::left, 0},
        {"an unknown epoch from line 1", {fresh, 1, 5, false}, Verdict::start_append, 6},
        {"an unknown epoch past line 1", {fresh, 9, 5, false}, Verdict::ack, 1},
        {"the current epoch", {current, 11, 5, false}, Verdict::append, 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const Decision decision = decide_batch(known, c.batch, forgotten);
        EXPECT_EQ(decision.verdict, c.verdict);
        EXPECT_EQ(decision.ack_next, c.ack_next);
        EXPECT_EQ(decision.duplicates, 0U);
    }
}

// Which epoch a decision drops from the list, to be kept apart before it is.
TEST(CollectRule, TheSeventeenthChangeDropsTheOldestEpoch) {
    GatewayState full{current, 11, {}};
    for (std::uint64_t epoch = 1; epoch <= max_left_epochs; ++epoch) full.left.push_back(epoch);
    GatewayState one_short = full;
    one_short.left.erase(one_short.left.begin());
    std::vector<std::uint64_t> shifted = one_short.left;
    shifted.push_back(current);
    const GatewayState unknown{};
    struct Case {
        const char *scenario;
        const GatewayState &gateway;
        BatchHead batch;
        std::uint64_t dropped;
        const std::vector<std::uint64_t> &left;  // after
    };
    const Case cases[] = {
        {"the 17th change: the oldest goes", full, {fresh, 1, 5, false}, 1, shifted},
        {"the 16th change: none goes", one_short, {fresh, 1, 5, false}, 0, shifted},
        {"the first epoch: none goes", unknown, {fresh, 1, 5, false}, 0, unknown.left},
        {"lines of the current epoch", full, {current, 11, 5, false}, 0, full.left},
        {"a new epoch past line 1", full, {fresh, 9, 5, false}, 0, full.left},
        {"an epoch left", full, {1, 1, 5, false}, 0, full.left},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const Decision decision = decide_batch(c.gateway, c.batch);
        EXPECT_EQ(epoch_dropped(c.gateway, decision), c.dropped);
        GatewayState after = c.gateway;
        apply_decision(after, c.batch, decision);
        EXPECT_EQ(after.left, c.left);
    }
}

GatewayRecord record_of(std::uint64_t next, std::vector<std::uint64_t> left = {}) {
    GatewayRecord record;
    record.state = {current, next, std::move(left)};
    record.dev = 2049;
    record.ino = 131073;
    record.size = next * 100;
    return record;
}

// line with a check that holds (FNV-1a), so that only its words can be refused.
std::string with_check(const std::string &line) {
    std::uint32_t hash = 2166136261U;
    for (const char c : line) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    char check[16];
    std::snprintf(check, sizeof check, " %08x", static_cast<unsigned>(hash));
    return line + check;
}

// The journal, the epochs left and a publisher's state are read whole: a
// FIFO or a folder in a file's place is refused at once, never waited on.
TEST(RecordFile, OnlyARegularFileIsRead) {
    const TempDir dir;
    write_file(dir / "file", "1 2\n");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    struct Case {
        const char *name;
        bool read;
        bool found;
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"file", true, true, "1 2\n", ""},
        {"missing", true, false, "", ""},
        {"fifo", false, false, "", ": not a regular file"},
        {"folder", false, false, "", ": not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        std::string error;
        bool found = false;
        EXPECT_EQ(read_whole(dir / c.name, 100, text, found, error), c.read);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(error, *c.error == '\0' ? "" : dir / c.name + c.error);
    }
}

TEST(Journal, EntriesReadBackAndDamagedOnesAreRefused) {
    const std::string entry = encode_entry("gw-1.a_b", record_of(11, {old, fresh}));
    EXPECT_EQ(entry, "gw-1.a_b aaaa000000000001 11 2049 131073 1100 aaaa000000000000 bbbb000000000000 " +
                         entry.substr(entry.size() - 9));
    const std::string line = entry.substr(0, entry.size() - 1);
    std::string changed = line;
    changed[10] = 'b';
    struct Case {
        const char *what;
        std::string line;
        bool read;
    };
    const Case cases[] = {
        {"whole", line, true},
        {"torn", line.substr(0, line.size() - 3), false},
        {"torn after its check", line.substr(0, line.size() - 9), false},
        {"a digit changed", changed, false},
        {"its check changed", line.substr(0, line.size() - 1) + (line.back() == '0' ? "1" : "0"), false},
        {"no check", "gw1 aaaa000000000001 11 2049 131073 1100", false},
        {"not a gateway name", encode_entry("gw/1", record_of(11)), false},
        {"next 0", encode_entry("gw1", record_of(0)), false},
        {"empty", "", false},
        {"unsure 0", with_check("gw1 aaaa000000000001 11 2049 131073 1100 ~0"), false},
        {"more unsure than its size", with_check("gw1 aaaa000000000001 11 2049 131073 1100 ~1101"), false},
        {"unsure before the epochs left", with_check("gw1 aaaa000000000001 11 2049 131073 1100 ~5 aaaa000000000000"),
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string name;
        GatewayRecord record;
        ASSERT_EQ(decode_entry(c.line, name, record), c.read);
        if (!c.read) continue;
        EXPECT_EQ(name, "gw-1.a_b");
        EXPECT_EQ(record.state.epoch, current);
        EXPECT_EQ(record.state.next, 11U);
        EXPECT_EQ(record.state.left, (std::vector<std::uint64_t>{old, fresh}));
        EXPECT_EQ(record.dev, 2049U);
        EXPECT_EQ(record.ino, 131073U);
        EXPECT_EQ(record.size, 1100U);
    }
}

// The bytes before its size a record is unsure of, written only when there are some.
TEST(Journal, UnsureBytesReadBack) {
    GatewayRecord record = record_of(11, {old});
    record.unsure = 300;
    const std::string entry = encode_entry("gw1", record);
    EXPECT_EQ(entry.substr(0, entry.size() - 10), "gw1 aaaa000000000001 11 2049 131073 1100 aaaa000000000000 ~300");
    EXPECT_EQ(with_check(entry.substr(0, entry.size() - 10)) + "\n", entry);
    std::string name;
    GatewayRecord back;
    ASSERT_TRUE(decode_entry(entry.substr(0, entry.size() - 1), name, back));
    EXPECT_EQ(back.unsure, 300U);
    EXPECT_EQ(back.state.left, std::vector<std::uint64_t>{old});
    ASSERT_TRUE(decode_entry(with_check("gw1 aaaa000000000001 11 2049 131073 1100 ~1100"), name, back));
    EXPECT_EQ(back.unsure, 1100U);
    record.unsure = 0;
    EXPECT_EQ(encode_entry("gw1", record).find('~'), std::string::npos);
}

// A file's print, written once known; entries of the version before it read as having none.
TEST(Journal, PrintsReadBack) {
    GatewayRecord record = record_of(11, {old});
    record.print = 0x00c0ffee12345678ULL;
    record.unsure = 300;
    const std::string entry = encode_entry("gw1", record);
    EXPECT_EQ(entry.substr(0, entry.size() - 10),
              "gw1 aaaa000000000001 11 2049 131073 1100 aaaa000000000000 @00c0ffee12345678 ~300");
    struct Case {
        const char *what;
        std::string line;
        bool read;
        std::uint64_t print;
    };
    const Case cases[] = {
        {"written", entry.substr(0, entry.size() - 1), true, record.print},
        {"none: an older entry", with_check("gw1 aaaa000000000001 11 2049 131073 1100 aaaa000000000000"), true, 0},
        {"without unsure bytes", with_check("gw1 aaaa000000000001 11 2049 131073 1100 @00000000000000ff"), true, 255},
        {"print 0", with_check("gw1 aaaa000000000001 11 2049 131073 1100 @0000000000000000"), false, 0},
        {"not hex", with_check("gw1 aaaa000000000001 11 2049 131073 1100 @00000000000000fg"), false, 0},
        {"after the unsure bytes", with_check("gw1 aaaa000000000001 11 2049 131073 1100 ~5 @00000000000000ff"), false,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string name;
        GatewayRecord back;
        back.print = 7;
        ASSERT_EQ(decode_entry(c.line, name, back), c.read);
        if (c.read) {
            EXPECT_EQ(back.print, c.print);
        }
    }
}

TEST(Journal, ReplayKeepsEachGatewaysLastWholeEntry) {
    const std::string head = std::string(journal_head) + "\n";
    const std::string gw1 = encode_entry("gw1", record_of(5)) + encode_entry("gw1", record_of(9));
    const std::string gw2 = encode_entry("gw2", record_of(7));
    const std::string later = encode_entry("gw2", record_of(20));
    std::string flipped = encode_entry("gw1", record_of(30));
    flipped[5] ^= 1;
    using Lines = std::vector<std::size_t>;
    using Names = std::set<std::string>;
    struct Case {
        const char *what;
        std::string text;
        std::size_t entries;
        std::uint64_t gw2_next;  // 0: none
        bool read;
        bool torn;
        Lines damaged;
        Names uncertain;
    };
    const Case cases[] = {
        {"empty journal", head, 0, 0, true, false, {}, {}},
        {"last entry wins", head + gw1 + gw2 + later, 4, 20, true, false, {}, {}},
        {"torn last entry", head + gw1 + gw2 + later.substr(0, 20), 3, 7, true, true, {}, {}},
        {"torn just before its newline",
         head + gw1 + gw2 + later.substr(0, later.size() - 1),
         3,
         7,
         true,
         true,
         {},
         {}},
        {"garbage after the last", head + gw1 + gw2 + std::string(30, '\0'), 3, 7, true, true, {}, {}},
        {"damaged in the middle: later entries count, earlier ones are uncertain",
         head + gw1 + "x\n" + gw2,
         3,
         7,
         true,
         false,
         {4},
         {"gw1"}},
        {"a changed bit in the middle", head + gw1 + flipped + gw2, 3, 7, true, false, {4}, {"gw1"}},
        {"damaged, then newer entries of all", head + gw2 + "x\n" + gw1 + later, 4, 20, true, false, {3}, {}},
        {"damaged twice: the last one counts",
         head + gw1 + "x\n" + gw2 + "y\n" + later,
         4,
         20,
         true,
         false,
         {4, 6},
         {"gw1"}},
        {"a whole damaged last line is not torn", head + gw1 + gw2 + flipped, 3, 7, true, false, {5}, {"gw1", "gw2"}},
        {"not a journal", gw1, 0, 0, false, false, {}, {}},
        {"empty file", "", 0, 0, false, false, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        JournalReplay replay;
        ASSERT_EQ(replay_journal(c.text, replay), c.read);
        EXPECT_EQ(replay.entries, c.entries);
        EXPECT_EQ(replay.torn, c.torn);
        EXPECT_EQ(replay.damaged, c.damaged);
        EXPECT_EQ(replay.uncertain, c.uncertain);
        if (c.entries > 0) {
            EXPECT_EQ(replay.records.at("gw1").state.next, 9U);
        }
        EXPECT_EQ(replay.records.count("gw2"), c.gw2_next == 0 ? 0U : 1U);
        if (c.gw2_next != 0) {
            EXPECT_EQ(replay.records.at("gw2").state.next, c.gw2_next);
        }
    }
}

// A gateway whose every entry since the last compaction is damaged takes its
// record from the journal as it was before, and is uncertain; a damaged line
// that still starts with a gateway's name is noted as that gateway's.
TEST(Journal, RecordsDamagedSinceTheLastCompactionComeFromTheJournalBefore) {
    const std::string head = std::string(journal_head) + "\n";
    const std::string older = head + encode_entry("gw1", record_of(5)) + encode_entry("gw1", record_of(9)) +
                              encode_entry("gw2", record_of(7));
    std::string flipped = encode_entry("gw1", record_of(9));
    flipped[10] ^= 1;
    using Names = std::set<std::string>;
    struct Case {
        const char *what;
        std::string text;
        std::string older;
        std::uint64_t gw1_next;  // 0: none
        Names uncertain;
        std::vector<std::string> taken;
        std::map<std::string, std::size_t> damaged_names;
    };
    const Case cases[] = {
        {"its only entry damaged",
         head + flipped + encode_entry("gw2", record_of(7)),
         older,
         9,
         {"gw1"},
         {"gw1"},
         {{"gw1", 2}}},
        {"its name damaged too",
         head + "gx1 garbled\n" + encode_entry("gw2", record_of(7)),
         older,
         9,
         {"gw1"},
         {"gw1"},
         {{"gx1", 2}}},
        {"a whole entry after the damaged one",
         head + flipped + encode_entry("gw1", record_of(12)) + encode_entry("gw2", record_of(7)),
         older,
         12,
         {},
         {},
         {{"gw1", 2}}},
        {"not in the journal before either",
         head + flipped + encode_entry("gw2", record_of(7)),
         head + encode_entry("gw2", record_of(7)),
         0,
         {},
         {},
         {{"gw1", 2}}},
        {"nothing damaged: nothing taken", head + encode_entry("gw2", record_of(7)), older, 0, {}, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        JournalReplay replay;
        JournalReplay before;
        ASSERT_TRUE(replay_journal(c.text, replay));
        ASSERT_TRUE(replay_journal(c.older, before));
        EXPECT_EQ(replay.damaged_names, c.damaged_names);
        std::vector<std::string> taken;
        take_older_records(before, replay, taken);
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(replay.uncertain, c.uncertain);
        EXPECT_EQ(replay.records.count("gw1"), c.gw1_next == 0 ? 0U : 1U);
        if (c.gw1_next != 0) {
            EXPECT_EQ(replay.records.at("gw1").state.next, c.gw1_next);
        }
        EXPECT_EQ(replay.records.at("gw2").state.next, 7U);
    }
}

TEST(Journal, CompactionKeepsOneEntryPerGatewayAndReadsBack) {
    const std::map<std::string, GatewayRecord> records = {{"gw1", record_of(9)}, {"gw2", record_of(3, {old})}};
    const std::string text = compact_journal(records);
    EXPECT_EQ(text, std::string(journal_head) + "\n" + encode_entry("gw1", record_of(9)) +
                        encode_entry("gw2", record_of(3, {old})));
    JournalReplay replay;
    ASSERT_TRUE(replay_journal(text, replay));
    EXPECT_EQ(replay.entries, 2U);
    EXPECT_EQ(replay.records.at("gw2").state.left, std::vector<std::uint64_t>{old});
}

TEST(Journal, CompactsWhenTheEntriesFarOutnumberTheGateways) {
    struct Case {
        std::size_t entries, gateways;
        bool compact;
    };
    const Case cases[] = {
        {0, 0, false},        {65536, 0, false},     {65537, 0, true},     {65537, 8192, true},
        {65537, 8193, false}, {80000, 10000, false}, {80001, 10000, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.entries) + " entries, " + std::to_string(c.gateways) + " gateways");
        EXPECT_EQ(should_compact(c.entries, c.gateways), c.compact);
    }
}

// Epochs as the journal and the record files write them, and nothing else.
TEST(Journal, EpochsAreSixteenLowercaseHexDigits) {
    struct Case {
        const char *text;
        bool read;
        std::uint64_t epoch;
    };
    const Case cases[] = {
        {"0123456789abcdef", true, 0x0123456789abcdefULL},
        {"ffffffffffffffff", true, ~std::uint64_t{0}},
        {"0000000000000000", true, 0},
        {"0123456789ABCDEF", false, 0},
        {"0123456789abcde", false, 0},
        {"0123456789abcdef0", false, 0},
        {"0123456789abcdeg", false, 0},
        {" 123456789abcdef", false, 0},
        {"", false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::uint64_t epoch = 0;
        ASSERT_EQ(parse_epoch(c.text, epoch), c.read);
        if (c.read) {
            EXPECT_EQ(epoch, c.epoch);
        }
    }
}

// DIR/sfcollect.left: "NAME EPOCH" lines, a damaged one skipped, a torn end not read.
TEST(Journal, EpochsLeftLongAgoReadBack) {
    EXPECT_EQ(encode_left("gw-1.a_b", old), "gw-1.a_b aaaa000000000000\n");
    const std::string a = "gw1 aaaa000000000000\n";
    const std::string b = "gw1 bbbb000000000000\n";
    const std::string c = "gw2 aaaa000000000001\n";
    struct Case {
        const char *scenario;
        std::string text;
        std::size_t gw1, gw2;  // epochs read of each
        std::vector<std::size_t> damaged;
        std::size_t whole;  // 0: all of it
    };
    const Case cases[] = {
        {"none", "", 0, 0, {}, 0},
        {"whole lines", a + c + b, 2, 1, {}, 0},
        {"one twice (its journal entry not written before a stop)", a + a, 1, 0, {}, 0},
        {"a torn end", a + "gw2 aaaa0000", 1, 0, {}, a.size()},
        {"a line with a word more", a + "gw2 aaaa000000000001 1\n" + c, 1, 1, {2}, 0},
        {"damaged lines",
         "gw/2 aaaa000000000001\n" + a + "gw2 AAAA000000000001\ngw2\n\ngw2 0000000000000000\n" + c,
         1,
         1,
         {1, 3, 4, 5, 6},
         0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.scenario);
        LeftReplay replay;
        replay_left(k.text, replay);
        EXPECT_EQ(replay.epochs["gw1"].size(), k.gw1);
        EXPECT_EQ(replay.epochs["gw2"].size(), k.gw2);
        EXPECT_EQ(replay.damaged, k.damaged);
        EXPECT_EQ(replay.whole, k.whole == 0 ? k.text.size() : k.whole);
    }
    LeftReplay replay;
    replay_left(a + c + b, replay);
    EXPECT_EQ(replay.epochs["gw1"], (ForgottenEpochs{old, fresh}));
    EXPECT_EQ(replay.epochs["gw2"], (ForgottenEpochs{current}));
}

TEST(Journal, RecordFilesOfEarlierVersionsAreRead) {
    struct Case {
        std::string text;
        bool read;
    };
    const Case cases[] = {
        {"aaaa000000000001 11 2049 131073 1100\n", true},
        {"aaaa000000000001 11 2049 131073 1100 aaaa000000000000\n", true},
        {"aaaa000000000001 11 2049 131073 1100", false},
        {"aaaa000000000001 0 2049 131073 1100\n", false},
        {"aaaa000000000001 11 2049 131073\n", false},
        {"AAAA000000000001 11 2049 131073 1100\n", false},
        {"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        GatewayRecord record;
        ASSERT_EQ(decode_old_record(c.text, record), c.read);
        if (c.read) {
            EXPECT_EQ(record.size, 1100U);
        }
    }
}

// Which failures stop the collector, which end a pass early, and which are
// one gateway's file's alone.
TEST(ArchiveRule, FailuresAreOfTheFileUnlessEveryGatewayWouldMeetThem) {
    struct Case {
        int error;
        Failure failure;
    };
    const Case cases[] = {
        {ENOSPC, Failure::disk},        {EDQUOT, Failure::disk},        {EIO, Failure::disk},    {EROFS, Failure::disk},
        {EMFILE, Failure::descriptors}, {ENFILE, Failure::descriptors}, {EACCES, Failure::file}, {EPERM, Failure::file},
        {EISDIR, Failure::file},        {ELOOP, Failure::file},         {ENXIO, Failure::file},  {EFBIG, Failure::file},
        {ENOTDIR, Failure::file},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::strerror(c.error));
        EXPECT_EQ(classify_failure(c.error), c.failure);
    }
}

TEST(ArchiveRule, AFileThatFailsIsTriedAgainLessOften) {
    struct Case {
        unsigned failures;
        long long seconds;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {6, 32}, {7, 32}, {100, 32}, {~0U, 32}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.failures) + " failures");
        EXPECT_EQ(retry_delay(c.failures).count(), c.seconds);
    }
}

// What is kept of a gateway's log, found at start by its recorded inode or
// opened as NAME.log for a pass.
TEST(ArchiveRule, AnAcknowledgedLineIsNeverCutOnAGuess) {
    const bool recorded = true;
    const bool unrecorded = false;
    const bool trusted = true;
    const bool uncertain = false;
    const bool same = true;
    const bool other = false;
    struct Case {
        const char *scenario;
        std::uint64_t recorded_size, size;  // as recorded, as found
        std::uint64_t after, vanished;
        FileAction action;
        bool recorded, trusted, same;
    };
    const Case cases[] = {
        {"as recorded", 500, 500, 500, 0, FileAction::keep, recorded, trusted, same},
        {"a tail never acknowledged", 500, 800, 500, 0, FileAction::cut, recorded, trusted, same},
        {"a tail past a record a damaged entry may have replaced", 500, 800, 800, 0, FileAction::keep, recorded,
         uncertain, same},
        {"cut by another program", 500, 200, 200, 300, FileAction::take_new, recorded, trusted, same},
        {"emptied by a copytruncate", 500, 0, 0, 500, FileAction::take_new, recorded, trusted, same},
        {"emptied, the record uncertain", 500, 0, 0, 500, FileAction::take_new, recorded, uncertain, same},
        {"rotated away: another file", 500, 0, 0, 0, FileAction::take_new, recorded, trusted, other},
        {"another file, larger", 500, 900, 900, 0, FileAction::take_new, recorded, trusted, other},
        {"a new gateway's new file", 0, 0, 0, 0, FileAction::take_new, unrecorded, trusted, other},
        {"a new gateway, a file there before", 0, 300, 300, 0, FileAction::take_new, unrecorded, trusted, other},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const FilePlan plan = plan_file(c.recorded, c.trusted, c.recorded_size, c.same, c.size);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.size, c.after);
        EXPECT_EQ(plan.vanished, c.vanished);
    }
}

// How much of the lines that come again a log's unsure bytes hold already, line for line.
// A gateway's file found by its print, its device and inode being a hint
// that a copy, a restore, a remount or a copytruncate makes wrong.
TEST(ArchiveRule, ALogIsKnownByItsPrint) {
    const std::uint64_t print = 0x1234;
    const LogFile log{print, true, false};
    const LogFile other{0x9999, true, false};
    const LogFile empty{0, true, false};
    const LogFile unread{0, false, false};
    const LogFile packed{print, true, true};
    const std::size_t none = 99;
    struct Case {
        const char *scenario;
        std::uint64_t print;
        std::vector<LogFile> files;
        std::size_t hint;
        Where where;
        std::size_t at;
    };
    const Case cases[] = {
        {"its inode's file starts as it did", print, {other, log}, 1, Where::recorded, 1},
        {"its inode's file cannot be read: taken for what the inode says", print, {unread}, 0, Where::recorded, 0},
        {"a record without a print goes by its inode", 0, {other}, 0, Where::recorded, 0},
        {"a record without a print, its inode nowhere", 0, {log}, none, Where::nowhere, 0},
        {"copied or remounted: another inode or device", print, {other, log}, none, Where::moved, 1},
        {"copytruncate: its inode emptied, the copy holds it", print, {empty, log}, 0, Where::moved, 1},
        {"its inode given to another file since", print, {other, log}, 0, Where::moved, 1},
        {"compressed since: its tail cannot be cut", print, {other, packed}, none, Where::compressed, 1},
        {"a plain copy beside a compressed one", print, {packed, log}, none, Where::moved, 1},
        {"two compressed copies: none taken", print, {packed, packed}, none, Where::nowhere, 0},
        {"two plain copies: none taken", print, {log, other, log}, none, Where::several, 2},
        {"removed", print, {other, empty, unread}, none, Where::nowhere, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        const Located located = locate_log(c.print, c.files, c.hint);
        EXPECT_EQ(static_cast<int>(located.where), static_cast<int>(c.where));
        if (located.where != Where::nowhere) {
            EXPECT_EQ(located.at, c.at);
        }
    }
}

TEST(ArchiveRule, LinesThatComeAgainAreMatchedWholeAgainstTheLog) {
    const std::string lines = "1 aa\n2 bb\n3 cc\n";
    struct Case {
        const char *what;
        std::string held;
        std::size_t same;
    };
    const Case cases[] = {
        {"all of them, and more", lines + "4 dd\n", lines.size()},
        {"all of them, exactly", lines, lines.size()},
        {"the first two", "1 aa\n2 bb\n", 10},
        {"a line cut short in the log", "1 aa\n2 b", 5},
        {"a line without its newline", "1 aa\n2 bb", 5},
        {"the second differs", "1 aa\n2 bx\n3 cc\n", 5},
        {"a longer line that starts alike", "1 aaa\n", 0},
        {"other lines", "7 aa\n", 0},
        {"nothing", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(lines_held(c.held.data(), c.held.size(), lines.data(), lines.size()), c.same);
    }
}

// Where a line that came again starts a line of the log's unsure bytes.
TEST(ArchiveRule, ALineIsFoundOnlyWhereALineStarts) {
    const std::string line = "2 bb\n";
    const std::size_t none = std::string::npos;
    struct Case {
        const char *what;
        std::string text;
        bool at_start;
        std::size_t found;
    };
    const Case cases[] = {
        {"first", "2 bb\n3 cc\n", true, 0},
        {"first, in the middle of a line", "2 bb\n2 bb\n", false, 5},
        {"after lines of another epoch", "1 aa\n2 bb\n", true, 5},
        {"the end of a longer line first", "12 bb\n2 bb\n", true, 6},
        {"only the end of a longer line", "12 bb\n", true, none},
        {"cut short", "1 aa\n2 b", true, none},
        {"nowhere", "1 aa\n3 cc\n", true, none},
        {"empty", "", true, none},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(find_line(c.text, c.at_start, line.data(), line.size()), c.found);
    }
}

TEST(ArchiveRule, LogsOpenAtOnceLeaveDescriptorsForTheRest) {
    struct Case {
        std::uint64_t limit;
        std::size_t logs;
    };
    const Case cases[] = {
        {0, 1},   {10, 1},     {16, 1},      {17, 1},          {20, 4},
        {64, 48}, {1024, 768}, {8192, 7936}, {524288, 524032}, {std::uint64_t{1} << 40, std::size_t{1} << 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.limit) + " descriptors");
        EXPECT_EQ(logs_open_at_most(c.limit), c.logs);
    }
}

}  // namespace
