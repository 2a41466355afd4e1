#ifndef SFCOLLECT_GATEWAY_STORE_H
#define SFCOLLECT_GATEWAY_STORE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive_rule.h"
#include "journal.h"

// One gateway: its record as the journal has it, the state its log is in
// while a pass has lines not yet committed, and the failure of its file
// that keeps its batches waiting, if any.
struct Gateway {
    GatewayRecord record;
    GatewayState state;
    ForgottenEpochs forgotten;  // those in DIR/sfcollect.left
    bool recorded = false;      // the journal names its file
    int fd = -1;                // the log, open while a pass appends to it
    std::uint64_t size = 0;     // where its lines end in it, while open
    bool touched = false;
    bool spoiled = false;   // bytes not its lines lie past size: no more appends until opened anew
    bool fresh = false;     // its file is named in the journal only once the pass commits
    std::string held;       // its lines until then
    std::string fault;      // the failure said, until its file takes lines again
    unsigned failures = 0;  // in a row
    std::chrono::steady_clock::time_point retry_at;
    std::string cut;  // a file of its own found at start with lines past its record, not yet cut
    std::uint64_t cut_bytes = 0;
    // The unsure bytes of its recorded file, [tail_at, tail_end), read from
    // tail_fd: the lines that come again are compared with them before any
    // is written.
    int tail_fd = -1;
    std::string tail_path;
    std::uint64_t tail_at = 0;
    std::uint64_t tail_end = 0;
    std::uint64_t tail_kept = 0;  // bytes of them that matched no line that came again
};

// The words said when a gateway's batches wait for its file, which failed with error.
std::string waiting_note(const std::string &name, const std::string &error);

// A gateway whose lines of a pass could not be stored after all.
struct Unstored {
    std::string name;
    std::string error;
};

// The gateways' logs DIR/NAME.log, their records in one journal,
// DIR/sfcollect.journal, and the epochs they left long ago in
// DIR/sfcollect.left. Lines are appended at once and made durable by
// commit, which only then lets their acks go out. Every log is consistent
// with its record at any instant: past the recorded size of the recorded
// file lies nothing that was acknowledged, and a collector killed at any point
// is cut back to exactly that when it starts.
class GatewayStore {
public:
    explicit GatewayStore(std::string dir);
    ~GatewayStore();
    GatewayStore(const GatewayStore &) = delete;
    GatewayStore &operator=(const GatewayStore &) = delete;

    // Takes the folder for this process alone. False, with error set, when it
    // cannot, or another collector has it.
    bool lock(std::string &error);
    // Reads the journal and the record files of earlier versions, cuts every
    // log back to its record and starts a fresh journal. notes gets a line
    // for each thing set aside: a damaged entry, a log not cut because such
    // an entry may have been its newer record, bytes gone from a log, a log
    // that cannot be cut (its gateway then waits with its fault set). False,
    // with error set, when it cannot go on.
    bool recover(std::vector<std::string> &notes, std::string &error);
    Gateway &find(const std::string &name);
    // Appends whole lines to the gateway's log; they count once committed.
    // known is how many bytes of them at their start its unsure bytes held
    // already, and are not written again. False, with failure and error set
    // and nothing of them left, when they cannot be written.
    bool append(const std::string &name, Gateway &gateway, const char *lines, std::size_t size, std::size_t &known,
                Failure &failure, std::string &error);
    // A commit in three steps, so that the next pass can append while the
    // disk syncs. seal writes the records naming files new to the journal
    // and the lines held for them, compacts the journal when due, closes the
    // logs and takes their records; sync_sealed makes the logs durable, then
    // those records, and may run on another thread while this one appends
    // and forgets (but neither seals nor ends); end_sealed, once it has,
    // closes the tails it leaves behind. A gateway whose held lines cannot
    // be written for a reason of its file alone goes into unstored, its
    // record as before the pass. False, with error set, when the journal or
    // the disk fails.
    bool seal(std::vector<Unstored> &unstored, std::string &error);
    bool sync_sealed(std::string &error);
    void end_sealed();
    // Keeps epoch in DIR/sfcollect.left among those the gateway left long
    // ago, durably, before a journal entry can go without it; at once when
    // it is there already or 0. False, with failure and error set and the
    // file as before, when it cannot.
    bool forget(const std::string &name, Gateway &gateway, std::uint64_t epoch, Failure &failure, std::string &error);
    // Whether there are appends for seal to take.
    bool pending() const { return !open_.empty(); }
    // How many logs the pass holds open.
    std::size_t open_logs() const { return open_.size(); }
    std::string log_path(const std::string &name) const { return dir_ + "/" + name + ".log"; }

private:
    bool open_log(const std::string &name, Gateway &gateway, Failure &failure, std::string &error);
    bool cut_again(const std::string &name, Gateway &gateway, Failure &failure, std::string &error);
    bool read_left(std::vector<std::string> &notes, std::string &error);
    bool append_journal(const std::string &text, std::string &error);
    bool compact(std::string &error);
    void say_damage(const JournalReplay &replay, std::vector<std::string> &notes) const;
    void take_older(JournalReplay &replay, std::vector<std::string> &notes) const;

    std::string dir_;
    std::string journal_;
    std::string left_;     // the epochs gateways left long ago
    int dir_fd_ = -1;      // locked
    int journal_fd_ = -1;  // appended to
    std::size_t entries_ = 0;
    bool created_ = false;  // a log was created in this pass: the folder is synced too
    std::string intents_;   // the journal entries naming the pass's fresh files
    // What seal took for sync_sealed and end_sealed.
    struct Sealed {
        std::string entries;
        bool created = false;
        std::vector<Gateway *> tails;  // whose unsure bytes are all matched or kept
    };
    Sealed sealed_;
    std::map<std::string, Gateway> gateways_;
    // The gateways whose logs this pass opened, and how many the journal
    // names: a pass touches a few of many gateways, and walking them all at
    // every pass took most of the collector's time with thousands.
    std::vector<std::pair<const std::string *, Gateway *>> open_;
    std::size_t recorded_ = 0;
};

#endif
