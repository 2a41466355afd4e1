// What sfcollect does with a gateway's batch, decided from what it knows of
// the gateway alone: a pure state machine, so that exactly-once is a property
// of this function and not of the I/O around it.
#ifndef SF_FLEET_COLLECT_RULE_H
#define SF_FLEET_COLLECT_RULE_H

#include <cstdint>
#include <set>
#include <vector>

#include "lost_range.h"

// Epochs a gateway's state lists as left behind; older ones are forgotten
// by it, and kept by the collector apart (ForgottenEpochs).
constexpr std::size_t max_left_epochs = 16;

// What the collector knows of one gateway: its log holds every line of epoch
// before next, and nothing after it.
struct GatewayState {
    std::uint64_t epoch = 0;  // 0: none yet
    std::uint64_t next = 1;
    std::vector<std::uint64_t> left;  // epochs it has left behind, newest last
};

// A batch as the machine sees it: its header's numbers, its line count, and
// how it came.
struct BatchHead {
    std::uint64_t epoch = 0;
    std::uint64_t seq = 1;
    std::uint64_t count = 1;
    bool retained = false;  // sfpublish never publishes one: someone else did
};

enum class Verdict {
    drop,          // nothing written, nothing answered
    ack,           // nothing written; answer ack_epoch ack_next
    append,        // write the batch's lines from skip on; answer with the new next
    start_append,  // start the batch's epoch at line 1, then as append
    left,          // nothing written; answer that the gateway left the batch's epoch
};

enum class DropReason { none, retained, left_behind };

struct Decision {
    Verdict verdict = Verdict::drop;
    DropReason reason = DropReason::none;
    std::uint64_t ack_epoch = 0;
    std::uint64_t ack_next = 0;
    std::uint64_t skip = 0;        // lines at the batch's start the log has already
    std::uint64_t duplicates = 0;  // lines of the batch the log has already, dropped
};

// The epochs a gateway left before those its state lists: however old, a
// batch of one is a stale copy (a broker restored from an old save) or a
// rolled back publisher, never a new epoch.
using ForgottenEpochs = std::set<std::uint64_t>;

Decision decide_batch(const GatewayState &gateway, const BatchHead &batch, const ForgottenEpochs &forgotten = {});

// The epoch apply_decision moves out of the gateway's list of those left
// behind, to be kept among the forgotten ones first; 0 when none.
std::uint64_t epoch_dropped(const GatewayState &gateway, const Decision &decision);

// Applies an append or start_append decision to the state: the lines from
// skip on are in the log.
void apply_decision(GatewayState &gateway, const BatchHead &batch, const Decision &decision);

// Of the ranges a new epoch's first batch says were lost at the gateway, the
// lines the log does not have: of the epoch it is on, those from next on
// (the publisher may not have heard the ack of the others); of any other, all.
std::vector<LostRange> lost_from_log(const GatewayState &gateway, const std::vector<LostRange> &ranges);

#endif
