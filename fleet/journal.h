// sfcollect's journal, DIR/sfcollect.journal: one line for each time a
// gateway's record changed, the last one for a name being the one that
// counts. Each pass over the broker's batches appends the records of the
// gateways it touched and makes them durable with one fdatasync; at start and
// now and then, the journal is replaced by one line per gateway.
#ifndef SF_FLEET_JOURNAL_H
#define SF_FLEET_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "collect_rule.h"

// What the collector knows of a gateway and of its log: the file (known by
// its print, or by dev and ino while it has none; dev and ino find it
// quickest, but a copy or a remount changes them) holds every line of the epoch before next, and past size nothing that
// was acknowledged. After a damaged journal, the last unsure bytes before size may hold lines from next on: they are
// compared with the lines that come again, never cut.
struct GatewayRecord {
    GatewayState state;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t size = 0;
    std::uint64_t unsure = 0;
    std::uint64_t print = 0;  // 0: not yet known
};

// The journal's first line, naming what it is.
extern const char journal_head[];

// "NAME EPOCH NEXT DEV INO SIZE [LEFT...] [@PRINT] [~UNSURE] CHECK\n", PRINT
// in hex, CHECK being 8 hex digits that make a torn or garbled line show.
std::string encode_entry(const std::string &name, const GatewayRecord &record);
// One line of the journal, without its newline; false when it is not a whole
// entry whose check holds.
bool decode_entry(const std::string &line, std::string &name, GatewayRecord &record);

// A journal read back: every gateway's last whole entry. What follows the
// last newline is a torn entry (a collector killed in the middle of an
// append leaves one) and is ignored: its pass was never acknowledged. A line
// that is not a whole entry is damaged, skipped, and the entries after it
// count; it may have been a newer record of any gateway whose last whole
// entry comes before it, which is then uncertain: past its record may lie
// acknowledged lines. A damaged line whose first word is still a gateway's
// name is noted as that gateway's, the last such line counting.
struct JournalReplay {
    std::map<std::string, GatewayRecord> records;
    std::size_t entries = 0;
    bool torn = false;
    std::vector<std::size_t> damaged;  // line numbers, the head being line 1
    std::set<std::string> uncertain;
    std::map<std::string, std::size_t> damaged_names;
};
// False when text does not start with journal_head: not a journal of ours.
bool replay_journal(const std::string &text, JournalReplay &replay);

// Fills in, from the journal as it was before its last compaction, the
// records of gateways whose every entry since is damaged; they are uncertain,
// and each is named in taken.
void take_older_records(const JournalReplay &older, JournalReplay &replay, std::vector<std::string> &taken);

// The journal that holds just these records, as a compaction writes it.
std::string compact_journal(const std::map<std::string, GatewayRecord> &records);

// Whether a journal of entries lines for gateways gateways is worth
// replacing by one line per gateway: often enough that it stays small,
// seldom enough that the rewrites cost little beside the appends.
bool should_compact(std::size_t entries, std::size_t gateways);

// The epochs gateways left before those their entries list, in
// DIR/sfcollect.left: "NAME EPOCH\n" each, appended before the entry that
// no longer lists it, and never rewritten. encode_left gives the line.
std::string encode_left(const std::string &name, std::uint64_t epoch);

// The file read back. What follows the last newline is torn (a collector
// stopped in the middle of an append, whose epoch its entry still lists):
// whole says where it starts. A line that is not a name and an epoch is
// damaged and skipped.
struct LeftReplay {
    std::map<std::string, ForgottenEpochs> epochs;
    std::vector<std::size_t> damaged;  // line numbers, from 1
    std::size_t whole = 0;             // bytes of whole lines
};
void replay_left(const std::string &text, LeftReplay &replay);

// A record file of earlier versions, DIR/NAME.sfcollect: "EPOCH NEXT DEV INO
// SIZE [LEFT...]" on one line.
bool decode_old_record(const std::string &text, GatewayRecord &record);

#endif
