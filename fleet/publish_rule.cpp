#include "publish_rule.h"

#include <algorithm>

void PublishRule::start(std::uint64_t epoch, std::uint64_t acked, Clock::time_point now) {
    epoch_ = epoch;
    acked_ = sent_ = acked;
    resent_for_ = 0;
    progressed(now);
}

void PublishRule::progressed(Clock::time_point now) {
    patience_ = first_patience;
    deadline_ = now + patience_;
    resent_for_ = 0;
}

void PublishRule::sent(std::uint64_t to, Clock::time_point now) {
    if (sent_ <= acked_) deadline_ = now + patience_;  // the first lines out since all were acknowledged
    sent_ = std::max(sent_, to);
}

// What was out stays out: it goes again, from from on.
PublishStep PublishRule::send_again(std::uint64_t from, Clock::time_point now) {
    deadline_ = now + patience_;
    return {PublishStep::resend, from};
}

PublishStep PublishRule::ack(std::uint64_t epoch, std::uint64_t next, bool retained,
                             const std::function<bool(std::uint64_t line)> &held, Clock::time_point now) {
    if (epoch != epoch_ || next == 0) return {};
    if (next > acked_) {
        acked_ = next;
        sent_ = std::max(sent_, next);
        progressed(now);
        return {PublishStep::advance, next};
    }
    // The broker's stored ack is what is known already; so is any ack while nothing is out.
    if (next == acked_ && (retained || sent_ == acked_)) return {};
    // Each value answers once until progress: duplicates of one ack, or one
    // ack per batch that followed a gap, must not each send the window again.
    if (resent_for_ == next) return {};
    resent_for_ = next;
    if (next == acked_) return send_again(acked_, now);
    if (held(next)) {
        // Old or not, the collector drops what it has; a collector restored from a backup gets the rest.
        acked_ = next;
        return send_again(next, now);
    }
    // A retained ack may be an old save of the broker's: the window again
    // makes the collector say where it really is.
    if (retained) return send_again(acked_, now);
    return {PublishStep::new_epoch, acked_ - next};
}

PublishStep PublishRule::tick(Clock::time_point now) {
    if (sent_ <= acked_ || now < deadline_) return {};
    patience_ = std::min<Clock::duration>(patience_ * 2, max_patience);
    resent_for_ = 0;
    return send_again(acked_, now);
}

PublishStep PublishRule::reconnected(Clock::time_point now) {
    progressed(now);
    return send_again(acked_, now);
}
