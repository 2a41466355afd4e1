#include "publish_rule.h"

#include <algorithm>

void PublishRule::start(std::uint64_t epoch, std::uint64_t acked, Clock::time_point now) {
    epoch_ = epoch;
    acked_ = sent_ = acked;
    heard_ = echo_ = probe_ = 0;
    progressed(now);
}

void PublishRule::progressed(Clock::time_point now) {
    patience_ = first_patience;
    deadline_ = now + patience_;
}

void PublishRule::sent(std::uint64_t to, Clock::time_point now) {
    if (sent_ <= acked_) deadline_ = now + patience_;  // the first lines out since all were acknowledged
    sent_ = std::max(sent_, to);
}

// What was out stays out: it goes again, from from on.
PublishStep PublishRule::send_again(std::uint64_t from, std::uint64_t heard, Clock::time_point now) {
    heard_ = heard;
    echo_ = sent_;
    deadline_ = now + patience_;
    return {PublishStep::resend, from};
}

PublishStep PublishRule::ack(std::uint64_t epoch, std::uint64_t next, bool retained,
                             const std::function<bool(std::uint64_t line)> &held, Clock::time_point now) {
    if (epoch != epoch_ || next == 0) return {};
    if (next > acked_) {
        acked_ = next;
        sent_ = std::max(sent_, next);
        if (acked_ > echo_) echo_ = 0;
        probe_ = 0;  // the lower ack was an old one
        progressed(now);
        return {PublishStep::advance, next};
    }
    // The broker's stored ack is what is known already; so is any ack while nothing is out.
    if (next == acked_ && (retained || sent_ == acked_)) return {};
    if (next < acked_ && !held(next)) {
        // The gateway no longer holds those lines, but the ack may be an old
        // one (a broker's restored save, a copy sent by hand): the window
        // again makes the collector say where it is. Only when it still says
        // so a patience later, after the window went out again, has it lost them.
        if (probe_ == next && now - probed_at_ >= first_patience) return {PublishStep::new_epoch, next};
        if (probe_ != next) probe_ = next, probed_at_ = now;
        return next == heard_ ? PublishStep{} : send_again(acked_, next, now);
    }
    // One resend answers an ack value, and the collector's answers to its
    // copies are no news: else resends feed on each other.
    if (next == heard_ || (next == acked_ && next == echo_)) return {};
    if (next == acked_) return send_again(acked_, next, now);
    // Old or not, the collector drops what it has; a collector restored from a backup gets the rest.
    acked_ = next;
    return send_again(next, next, now);
}

PublishStep PublishRule::tick(Clock::time_point now) {
    if (sent_ <= acked_ || now < deadline_) return {};
    patience_ = std::min<Clock::duration>(patience_ * 2, max_patience);
    return send_again(acked_, 0, now);
}

PublishStep PublishRule::reconnected(Clock::time_point now) {
    progressed(now);
    return send_again(acked_, 0, now);
}

SentLines split_sent(std::uint64_t first, std::uint64_t count, std::uint64_t high) {
    const std::uint64_t again = high > first ? std::min(count, high - first) : 0;
    return {count - again, again};
}
