// What sfpublish does when the collector answers, or does not: the
// publisher's side of exactly once, without any I/O, so that every case can
// be decided and tested on its own.
#ifndef SF_FLEET_PUBLISH_RULE_H
#define SF_FLEET_PUBLISH_RULE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

// Whether the gateway's files still hold a line: unknown while they cannot
// be read (a read error, logrotate at work), which is asked again later and
// never taken for gone.
enum class Holding { held, gone, unknown };

// One decision.
struct PublishStep {
    enum Kind {
        none,
        advance,    // the collector has every line before line: drop what it acknowledged, read on from there
        resend,     // send again from line (at or below the acknowledged line)
        probe,      // make the collector answer: send the line before line (the acknowledged one) again and
                    // on, or from line when the gateway no longer holds it
        fall_back,  // the collector answered that it has the epoch only before line, which the gateway still
                    // holds: send again from there; said: its ack was before until then
        new_epoch,  // the collector answered that it has the epoch only before line, and the gateway no
                    // longer holds it: a new epoch from the first line it still holds
        leave,      // the collector answered that it left the epoch: a new one from line, the acknowledged one
    } kind = none;
    std::uint64_t line = 0;
    std::uint64_t before = 0;  // fall_back: the acknowledged line until then
};

class PublishRule {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds first_patience{5};
    static constexpr std::chrono::seconds max_patience{60};

    // The epoch, and the first line the collector does not have as far as is known.
    void start(std::uint64_t epoch, std::uint64_t acked, Clock::time_point now);
    // Lines before to have been sent, some of them perhaps again.
    void sent(std::uint64_t to, Clock::time_point now);

    // An ack "EPOCH NEXT", retained (the broker's stored copy, of any age)
    // or fresh. An ack below the acknowledged line ends nothing by itself:
    // it may be an old one (a broker's restored save, a copy sent by hand).
    // It makes the rule probe, and only a fresh ack that comes after the
    // probe went out moves the acknowledged line back or ends the epoch.
    // held answers whether the gateway's files still hold a line of the
    // epoch; it is asked only for a line below the acknowledged one. While
    // it does not know, nothing is decided: the probe goes again after the
    // patience, and the answer to it decides.
    PublishStep ack(std::uint64_t epoch, std::uint64_t next, bool retained,
                    const std::function<Holding(std::uint64_t line)> &held, Clock::time_point now);
    // The collector's "EPOCH left": a new epoch, when it answers lines sent;
    // at most one a minute, since two gateways publishing under one name
    // leave each other's epochs in turn.
    PublishStep left(std::uint64_t epoch, bool retained, Clock::time_point now);
    // Time passes: lines out for longer than the patience are sent again (a
    // probe unanswered goes again), and the patience doubles while the
    // collector stays silent.
    PublishStep tick(Clock::time_point now);
    // The broker connection is new: what was in flight may be lost.
    PublishStep reconnected(Clock::time_point now);

    std::uint64_t epoch() const { return epoch_; }
    std::uint64_t acked() const { return acked_; }
    bool in_flight() const { return sent_ > acked_; }
    Clock::duration patience() const { return patience_; }

private:
    PublishStep send_again(std::uint64_t from, std::uint64_t heard, Clock::time_point now);
    PublishStep probe(Clock::time_point now);
    void progressed(Clock::time_point now);

    std::uint64_t epoch_ = 0;
    std::uint64_t acked_ = 1;
    std::uint64_t sent_ = 1;
    // The ack value the last resend answered, so that copies of that ack
    // (stale duplicates, or one per batch after a gap) send nothing more
    // until the patience runs out; 0: none.
    std::uint64_t heard_ = 0;
    // What the collector answers to the copies of the last resend once it
    // has the originals: the line after them. No news of a gap while the
    // acknowledged line is below it; 0: none.
    std::uint64_t echo_ = 0;
    // The lower ack that made the rule probe, until the collector answered; 0: none.
    std::uint64_t probe_ = 0;
    bool probe_out_ = false;                    // lines went out since the probe began: fresh acks answer it
    bool sent_any_ = false;                     // lines of the epoch went out since the start
    std::optional<Clock::time_point> left_at_;  // when an epoch was last left
    Clock::duration patience_ = first_patience;
    Clock::time_point deadline_{};
};

// A batch of count lines from line first, sent when lines before high had
// been sent already in the epoch: how many go out for the first time, and
// how many again.
struct SentLines {
    std::uint64_t fresh = 0;
    std::uint64_t again = 0;
};
SentLines split_sent(std::uint64_t first, std::uint64_t count, std::uint64_t high);

#endif
