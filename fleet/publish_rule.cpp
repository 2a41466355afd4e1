#include "publish_rule.h"

#include <algorithm>

void PublishRule::start(std::uint64_t epoch, std::uint64_t acked, Clock::time_point now) {
    epoch_ = epoch;
    acked_ = sent_ = acked;
    heard_ = echo_ = probe_ = 0;
    probe_out_ = sent_any_ = false;
    progressed(now);
}

void PublishRule::progressed(Clock::time_point now) {
    patience_ = first_patience;
    deadline_ = now + patience_;
}

void PublishRule::sent(std::uint64_t to, Clock::time_point now) {
    if (sent_ <= acked_) deadline_ = now + patience_;  // the first lines out since all were acknowledged
    sent_ = std::max(sent_, to);
    sent_any_ = true;
    if (probe_ != 0) probe_out_ = true;
}

// What was out stays out: it goes again, from from on.
PublishStep PublishRule::send_again(std::uint64_t from, std::uint64_t heard, Clock::time_point now) {
    heard_ = heard;
    echo_ = sent_;
    deadline_ = now + patience_;
    return {PublishStep::resend, from};
}

// The last acknowledged line again, and what was out after it: whatever the
// collector has, it answers.
PublishStep PublishRule::probe(Clock::time_point now) {
    PublishStep step = send_again(acked_, 0, now);
    step.kind = PublishStep::probe;
    probe_out_ = false;
    return step;
}

PublishStep PublishRule::ack(std::uint64_t epoch, std::uint64_t next, bool retained,
                             const std::function<Holding(std::uint64_t line)> &held, Clock::time_point now) {
    if (epoch != epoch_ || next == 0) return {};
    const bool answer = !retained && probe_out_;  // the collector's word since the probe went out
    if (next == acked_ && answer && probe_ != 0) {
        // The lower ack was an old one; the probe's copies are acknowledged.
        probe_ = 0;
        probe_out_ = false;
        return {PublishStep::advance, next};
    }
    if (next > acked_) {
        probe_ = 0;  // the lower ack was an old one
        probe_out_ = false;
        acked_ = next;
        sent_ = std::max(sent_, next);
        if (acked_ > echo_) echo_ = 0;
        progressed(now);
        return {PublishStep::advance, next};
    }
    if (next < acked_) {
        if (!answer) {
            // Old or not, only the collector's answer tells: one probe at a time.
            if (probe_ != 0) return {};
            probe_ = next;
            return probe(now);
        }
        const Holding holding = held(next);
        if (holding == Holding::unknown) {
            deadline_ = now + patience_;  // asked again with the probe's next round
            return {};
        }
        probe_ = 0;
        probe_out_ = false;
        if (holding == Holding::gone) return {PublishStep::new_epoch, next};
        // A collector restored from a backup gets the rest, once.
        const std::uint64_t before = acked_;
        acked_ = next;
        PublishStep step = send_again(next, next, now);
        step.kind = PublishStep::fall_back;
        step.before = before;
        return step;
    }
    // The broker's stored ack is what is known already; so is any ack while nothing is out.
    if (retained || sent_ == acked_) return {};
    // One resend answers an ack value, and the collector's answers to its
    // copies are no news: else resends feed on each other.
    if (next == heard_ || next == echo_) return {};
    return send_again(acked_, next, now);
}

PublishStep PublishRule::left(std::uint64_t epoch, bool retained, Clock::time_point now) {
    if (epoch != epoch_ || retained || !sent_any_ || (left_at_ && now - *left_at_ < max_patience)) return {};
    left_at_ = now;
    return {PublishStep::leave, acked_};
}

PublishStep PublishRule::tick(Clock::time_point now) {
    if (now < deadline_ || (probe_ != 0 ? !probe_out_ : sent_ <= acked_)) return {};
    patience_ = std::min<Clock::duration>(patience_ * 2, max_patience);
    return probe_ != 0 ? probe(now) : send_again(acked_, 0, now);
}

PublishStep PublishRule::reconnected(Clock::time_point now) {
    progressed(now);
    return probe_ != 0 ? probe(now) : send_again(acked_, 0, now);
}

SentLines split_sent(std::uint64_t first, std::uint64_t count, std::uint64_t high) {
    const std::uint64_t again = high > first ? std::min(count, high - first) : 0;
    return {count - again, again};
}
