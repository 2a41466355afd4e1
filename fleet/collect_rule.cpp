#include "collect_rule.h"

#include <algorithm>

Decision decide_batch(const GatewayState &gateway, const BatchHead &batch, const ForgottenEpochs &forgotten) {
    Decision decision;
    decision.ack_epoch = batch.epoch;
    // A retained batch would come again to every new subscription, long after
    // its lines were written: sfpublish never sends one.
    if (batch.retained) {
        decision.reason = DropReason::retained;
        return decision;
    }
    std::uint64_t next = gateway.next;
    bool starts = false;
    if (batch.epoch != gateway.epoch) {
        if (std::find(gateway.left.begin(), gateway.left.end(), batch.epoch) != gateway.left.end() ||
            forgotten.count(batch.epoch) != 0) {
            decision.verdict = Verdict::left;
            decision.reason = DropReason::left_behind;
            return decision;
        }
        // Its first lines went by before this collector subscribed, or it
        // lost its record: the publisher starts again from line 1.
        if (batch.seq != 1) {
            decision.verdict = Verdict::ack;
            decision.ack_next = 1;
            return decision;
        }
        starts = true;
        next = 1;
    }
    decision.ack_next = next;
    // A batch before it went missing: the publisher sends again from next.
    if (batch.seq > next) {
        decision.verdict = Verdict::ack;
        return decision;
    }
    decision.skip = next - batch.seq;
    if (decision.skip >= batch.count) {
        decision.skip = 0;
        decision.duplicates = batch.count;
        decision.verdict = Verdict::ack;  // every line is here already
        return decision;
    }
    decision.duplicates = decision.skip;
    decision.verdict = starts ? Verdict::start_append : Verdict::append;
    decision.ack_next = batch.seq + batch.count;
    return decision;
}

std::uint64_t epoch_dropped(const GatewayState &gateway, const Decision &decision) {
    const bool full = gateway.epoch != 0 && gateway.left.size() >= max_left_epochs;
    return decision.verdict == Verdict::start_append && full ? gateway.left.front() : 0;
}

void apply_decision(GatewayState &gateway, const BatchHead &batch, const Decision &decision) {
    if (decision.verdict == Verdict::start_append) {
        if (epoch_dropped(gateway, decision) != 0) gateway.left.erase(gateway.left.begin());
        if (gateway.epoch != 0) gateway.left.push_back(gateway.epoch);
        gateway.epoch = batch.epoch;
    }
    if (decision.verdict == Verdict::append || decision.verdict == Verdict::start_append)
        gateway.next = decision.ack_next;
}

std::vector<LostRange> lost_from_log(const GatewayState &gateway, const std::vector<LostRange> &ranges) {
    std::vector<LostRange> lost;
    for (LostRange range : ranges) {
        if (range.epoch == gateway.epoch && gateway.epoch != 0) range.first = std::max(range.first, gateway.next);
        if (range.first <= range.last) lost.push_back(range);
    }
    return lost;
}
