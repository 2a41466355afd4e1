// The publisher's decisions, one row a scenario: a list of events (acks,
// sends, time, reconnections) and the step each must give.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "publish_rule.h"

namespace {

using Clock = PublishRule::Clock;
using Kind = PublishStep::Kind;

const std::uint64_t epoch = 0x1234;

struct Event {
    enum Type {
        send,
        ack,
        old_ack,
        other_epoch,
        left,
        old_left,
        other_left,
        wait,
        reconnect,
        restart,
        unreadable,
        readable
    } type;
    std::uint64_t value;  // send: lines before it are out; acks: NEXT; wait: seconds; restart: acked in a new epoch
    Kind kind = Kind::none;
    std::uint64_t line = 0;
    std::uint64_t before = 0;  // fall_back
};

struct Scenario {
    const char *name;
    std::uint64_t acked;      // at the start
    std::uint64_t held_from;  // the gateway's files hold the epoch's lines from this one on
    std::vector<Event> events;
};

// clang-format off
const Scenario scenarios[] = {
    {"acks move on batch by batch", 1, 1,
     {{Event::send, 101}, {Event::send, 201}, {Event::ack, 101, Kind::advance, 101}, {Event::ack, 201, Kind::advance, 201}}},
    {"an ack beyond what was sent skips ahead", 1, 1,
     {{Event::send, 101}, {Event::ack, 500, Kind::advance, 500}}},
    {"the retained ack at subscription changes nothing", 100, 1,
     {{Event::send, 200}, {Event::old_ack, 100}}},
    {"a fresh ack equal to acked sends the window again once", 100, 1,
     {{Event::send, 300}, {Event::ack, 100, Kind::resend, 100}, {Event::ack, 100}, {Event::ack, 100}}},
    {"the collector's answers to the copies are no news", 100, 1,
     {{Event::send, 300}, {Event::ack, 100, Kind::resend, 100}, {Event::ack, 300, Kind::advance, 300},
      {Event::send, 400}, {Event::ack, 300}, {Event::ack, 300}, {Event::ack, 400, Kind::advance, 400}}},
    {"a gap past the copies resends again", 100, 1,
     {{Event::send, 300}, {Event::ack, 100, Kind::resend, 100}, {Event::ack, 300, Kind::advance, 300},
      {Event::send, 400}, {Event::ack, 350, Kind::advance, 350}, {Event::send, 500}, {Event::ack, 350, Kind::resend, 350}}},
    {"an equal ack with nothing out is no news", 100, 1, {{Event::ack, 100}}},
    {"a gap seen after a silent spell is resent at once, not after the next patience", 100, 1,
     {{Event::send, 500}, {Event::wait, 6, Kind::resend, 100}, {Event::ack, 300, Kind::advance, 300},
      {Event::ack, 300, Kind::resend, 300}, {Event::ack, 300}}},
    {"a stale retained ack below acked probes, and the collector's answer ends it", 900, 1,
     {{Event::send, 1000}, {Event::old_ack, 600, Kind::probe, 900}, {Event::old_ack, 600}, {Event::send, 1000},
      {Event::ack, 1000, Kind::advance, 1000}}},
    {"a retained ack of lines gone, with nothing out, never decides however often it comes", 1001, 1001,
     {{Event::old_ack, 300, Kind::probe, 1001}, {Event::wait, 100}, {Event::old_ack, 300},
      {Event::reconnect, 0, Kind::probe, 1001}, {Event::old_ack, 300}, {Event::wait, 100}}},
    {"a probe waits for a line to go, and the collector's answer to it ends it", 1001, 1001,
     {{Event::old_ack, 300, Kind::probe, 1001}, {Event::send, 1101}, {Event::old_ack, 300},
      {Event::ack, 1101, Kind::advance, 1101}, {Event::wait, 100}}},
    {"a stale fresh ack of lines gone, nothing out: the last line again, and the collector's answer ends it", 900,
     500,
     {{Event::ack, 300, Kind::probe, 900}, {Event::ack, 300}, {Event::send, 900}, {Event::ack, 900, Kind::advance, 900},
      {Event::ack, 900}, {Event::wait, 100}, {Event::ack, 300, Kind::probe, 900}}},
    {"a probe unanswered goes again after the patience, which doubles", 900, 1,
     {{Event::ack, 600, Kind::probe, 900}, {Event::send, 900}, {Event::wait, 4}, {Event::wait, 2, Kind::probe, 900},
      {Event::send, 900}, {Event::wait, 9}, {Event::wait, 2, Kind::probe, 900}, {Event::reconnect, 0, Kind::probe, 900}}},
    {"a collector restored from a backup: its answer falls back once", 900, 1,
     {{Event::send, 1000}, {Event::ack, 300, Kind::probe, 900}, {Event::ack, 300}, {Event::send, 1000},
      {Event::ack, 300, Kind::fall_back, 300, 900}, {Event::ack, 300}, {Event::send, 1000}, {Event::ack, 300},
      {Event::ack, 1000, Kind::advance, 1000}}},
    {"lines gone from the gateway, and the collector's answer says so: a new epoch", 900, 500,
     {{Event::send, 950}, {Event::ack, 300, Kind::probe, 900}, {Event::send, 950},
      {Event::ack, 300, Kind::new_epoch, 300}}},
    {"a retained ack of lines gone and the collector's fresh answer alike: a new epoch", 900, 500,
     {{Event::old_ack, 300, Kind::probe, 900}, {Event::send, 900}, {Event::old_ack, 300},
      {Event::ack, 300, Kind::new_epoch, 300}}},
    {"lines gone, but the ack an old copy: the collector's answer ends it", 900, 500,
     {{Event::send, 950}, {Event::old_ack, 300, Kind::probe, 900}, {Event::old_ack, 300}, {Event::ack, 300},
      {Event::send, 950}, {Event::ack, 950, Kind::advance, 950}, {Event::wait, 6}}},
    {"the files unreadable when the answer comes: nothing decided until an answer once they read", 900, 500,
     {{Event::send, 950}, {Event::ack, 300, Kind::probe, 900}, {Event::send, 950}, {Event::unreadable, 0},
      {Event::ack, 300}, {Event::ack, 300}, {Event::wait, 6, Kind::probe, 900}, {Event::readable, 0},
      {Event::send, 950}, {Event::ack, 300, Kind::new_epoch, 300}}},
    {"the files unreadable when a backup's answer comes: the rest goes again once they read", 900, 1,
     {{Event::send, 1000}, {Event::ack, 300, Kind::probe, 900}, {Event::send, 1000}, {Event::unreadable, 0},
      {Event::ack, 300}, {Event::wait, 6, Kind::probe, 900}, {Event::readable, 0}, {Event::send, 1000},
      {Event::ack, 300, Kind::fall_back, 300, 900}}},
    {"the collector left the epoch: a new one from the acknowledged line, as an answer only", 900, 1,
     {{Event::left, 0}, {Event::send, 950}, {Event::old_left, 0}, {Event::other_left, 0},
      {Event::left, 0, Kind::leave, 900}}},
    {"left again and again (two gateways under one name): a new epoch a minute at most", 900, 1,
     {{Event::send, 950}, {Event::left, 0, Kind::leave, 900}, {Event::restart, 1}, {Event::send, 50}, {Event::left, 0},
      {Event::ack, 50, Kind::advance, 50}, {Event::wait, 59}, {Event::send, 60}, {Event::left, 0}, {Event::wait, 1},
      {Event::left, 0, Kind::leave, 50}}},
    {"another epoch's ack is not ours", 100, 1,
     {{Event::send, 200}, {Event::other_epoch, 1}, {Event::other_epoch, 500}}},
    {"silence past the patience resends, with the patience doubling", 1, 1,
     {{Event::send, 101}, {Event::wait, 4}, {Event::wait, 2, Kind::resend, 1}, {Event::wait, 9},
      {Event::wait, 2, Kind::resend, 1}, {Event::wait, 21, Kind::resend, 1}, {Event::wait, 41, Kind::resend, 1},
      {Event::wait, 59}, {Event::wait, 2, Kind::resend, 1}, {Event::wait, 61, Kind::resend, 1}}},
    {"progress resets the patience", 1, 1,
     {{Event::send, 101}, {Event::wait, 6, Kind::resend, 1}, {Event::wait, 6}, {Event::ack, 50, Kind::advance, 50},
      {Event::wait, 6, Kind::resend, 50}}},
    {"nothing out, no resend however long", 1, 1, {{Event::wait, 100}, {Event::send, 101}, {Event::wait, 4}}},
    {"a reconnection sends again from acked and resets the patience", 1, 1,
     {{Event::send, 101}, {Event::wait, 6, Kind::resend, 1}, {Event::reconnect, 0, Kind::resend, 1}, {Event::wait, 4},
      {Event::wait, 2, Kind::resend, 1}}},
};
// clang-format on

TEST(PublishRule, DecidesEveryScenario) {
    for (const Scenario &scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        PublishRule rule;
        Clock::time_point now{};
        rule.start(epoch, scenario.acked, now);
        bool readable = true;
        const auto held = [&](std::uint64_t line) {
            if (!readable) return Holding::unknown;
            return line >= scenario.held_from ? Holding::held : Holding::gone;
        };
        int index = 0;
        for (const Event &event : scenario.events) {
            SCOPED_TRACE("event " + std::to_string(index++));
            PublishStep step;
            switch (event.type) {
                case Event::send:
                    rule.sent(event.value, now);
                    break;
                case Event::ack:
                case Event::old_ack:
                    step = rule.ack(epoch, event.value, event.type == Event::old_ack, held, now);
                    break;
                case Event::other_epoch:
                    step = rule.ack(epoch + 1, event.value, false, held, now);
                    break;
                case Event::left:
                case Event::old_left:
                    step = rule.left(epoch, event.type == Event::old_left, now);
                    break;
                case Event::other_left:
                    step = rule.left(epoch + 1, false, now);
                    break;
                case Event::unreadable:
                case Event::readable:
                    readable = event.type == Event::readable;
                    break;
                case Event::restart:
                    rule.start(epoch, event.value, now);  // the epoch numbers are the test's
                    break;
                case Event::wait:
                    now += std::chrono::seconds(event.value);
                    step = rule.tick(now);
                    break;
                case Event::reconnect:
                    step = rule.reconnected(now);
                    break;
            }
            EXPECT_EQ(step.kind, event.kind);
            if (event.kind != Kind::none) {
                EXPECT_EQ(step.line, event.line);
            }
            if (event.kind == Kind::fall_back) {
                EXPECT_EQ(step.before, event.before);
            }
        }
    }
}

// However the acks come, the acknowledged line only moves back to a line the
// gateway still holds, and a new epoch is never started while it holds it.
TEST(PublishRule, NeverForgetsALineItCouldStillSend) {
    PublishRule rule;
    Clock::time_point now{};
    rule.start(epoch, 1, now);
    const std::uint64_t held_from = 40;
    std::uint64_t state = 7;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t value = (state >> 33) % 200 + 1;
        const std::uint64_t before = rule.acked();
        if (i % 3 == 0) rule.sent(before + value, now);
        const PublishStep step = rule.ack(
            epoch, value, (state >> 20) % 2 == 0,
            [&](std::uint64_t line) { return line >= held_from ? Holding::held : Holding::gone; }, now);
        ASSERT_TRUE(rule.acked() >= before || rule.acked() >= held_from) << "moved back to a line it no longer has";
        if (step.kind == Kind::new_epoch) {
            ASSERT_LT(value, held_from);
            rule.start(epoch, 1, now);  // the epoch numbers are the test's; the rule only sees them match
        }
    }
}

}  // namespace
