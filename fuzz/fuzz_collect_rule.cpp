// Plays arbitrary bytes as a run of batches into the collector's decision:
// duplicates, gaps, reorders, retained messages and epochs that come and go,
// more of them than a gateway's state lists as left. An archive kept beside
// it must never hold a line twice or out of order, and must hold exactly
// lines 1 to next - 1 of the current epoch; every ack must claim no more than
// that; and an epoch once left is never started again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "collect_rule.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    GatewayState gateway;
    ForgottenEpochs forgotten;  // as the collector keeps them apart
    std::set<std::uint64_t> started;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> archive;  // (epoch, line) as written
    std::set<std::pair<std::uint64_t, std::uint64_t>> held;
    std::map<std::uint64_t, std::uint64_t> last;  // of each epoch in the archive
    for (std::size_t at = 0; at + 3 <= size; at += 3) {
        // Twice as many epochs as the state lists as left behind: a publisher
        // never comes back to one it left, but the broker may bring an old batch.
        const BatchHead batch{static_cast<std::uint64_t>(data[at] & 31) + 1,
                              static_cast<std::uint64_t>(data[at + 1] % 48) + 1,
                              static_cast<std::uint64_t>(data[at + 2] % 16) + 1, (data[at] & 0x80) != 0};
        const GatewayState before = gateway;
        const Decision decision = decide_batch(gateway, batch, forgotten);
        const std::uint64_t dropped = epoch_dropped(gateway, decision);
        if (dropped != 0) forgotten.insert(dropped);
        apply_decision(gateway, batch, decision);
        if (decision.verdict == Verdict::start_append) check(started.insert(batch.epoch).second);
        if (batch.retained) check(decision.verdict == Verdict::drop);
        if (decision.verdict == Verdict::left)
            check(std::find(before.left.begin(), before.left.end(), batch.epoch) != before.left.end() ||
                  forgotten.count(batch.epoch) != 0);
        if (decision.verdict == Verdict::drop || decision.verdict == Verdict::ack ||
            decision.verdict == Verdict::left) {
            check(gateway.epoch == before.epoch && gateway.next == before.next && gateway.left == before.left);
        } else {
            check(decision.skip < batch.count);
            for (std::uint64_t line = batch.seq + decision.skip; line < batch.seq + batch.count; ++line) {
                check(held.insert({batch.epoch, line}).second);  // never twice
                check(line == last[batch.epoch] + 1);            // never out of order
                last[batch.epoch] = line;
                archive.emplace_back(batch.epoch, line);
            }
        }
        if (decision.verdict == Verdict::ack || decision.verdict == Verdict::append ||
            decision.verdict == Verdict::start_append) {
            check(decision.ack_epoch == batch.epoch);
            // "Send from line 1" for an epoch it does not have; otherwise exactly what it holds.
            check(decision.ack_next == (batch.epoch == gateway.epoch ? gateway.next : 1));
        }
        // Exactly lines 1 to next - 1 of the current epoch, and nothing of it after them.
        std::uint64_t expected = 1;
        for (const auto &line : archive)
            if (line.first == gateway.epoch) check(line.second == expected++);
        check(gateway.epoch == 0 ? archive.empty() : expected == gateway.next);
    }
    return 0;
}
