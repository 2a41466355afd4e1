// Many gateways at once for sfcollect, without a sfpublish each: GATEWAYS
// gateways named gw1, gw2, ... under PREFIX, spread over CONNECTIONS broker
// connections (a thread each), each gateway sending one line a second for
// SECONDS as batches of the fleet's contract, the gateways' sends spread
// evenly over each second. Each gateway answers the collector's acks with
// sfpublish's own rule (PublishRule): what the broker drops is sent again
// once its patience runs out. The gateways join one after another over the
// first WARMUP seconds, which are left out of the figures. Prints the delay
// from a batch's publish to the ack that covers it in milliseconds:
//   "batches N acked N again N unacknowledged N p50 P p99 P max P"
// and exits 1 when a batch was never acknowledged.
//   fleet_load URL PREFIX GATEWAYS CONNECTIONS SECONDS WARMUP
// With "probe" for GATEWAYS, a single gateway "probe" sends one batch, prints
// "sent" once it is out, and when the ack comes, the wall-clock time
// "acked SECONDS.MICROS": a collector started between the two has restarted
// by then.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <mosquitto.h>
#include <sys/time.h>
#include <unistd.h>

#include "broker.h"
#include "contract.h"
#include "load_figures.h"
#include "publish_rule.h"

namespace {

using Clock = std::chrono::steady_clock;
// A connection's thread wakes this often at most to send what is due.
constexpr std::chrono::milliseconds send_tick{5};

struct Flight {
    std::uint64_t second;  // of the run, from 0
    std::uint64_t seq;
    Clock::time_point sent;
    std::string payload;
};

struct Gateway {
    std::uint32_t number = 0;  // from 0
    std::string packets, ack;
    std::uint64_t epoch = 0;
    std::uint64_t seq = 1;  // of its next line
    PublishRule rule;
    std::deque<Flight> flights;  // sent, not yet acknowledged
};

struct Tally {
    std::vector<long long> delays;  // microseconds
    std::uint64_t sent = 0, acked = 0, again = 0, unacked = 0;
};

struct Run {
    BrokerOptions broker;
    std::uint64_t gateways = 0;
    std::uint64_t seconds = 0;
    std::uint64_t warmup = 0;
    std::size_t connections = 0;
    bool probe = false;
    std::atomic<std::size_t> ready{0};
    std::atomic<long long> start{0};  // steady clock, nanoseconds; 0 until every connection is ready
    std::atomic<bool> failed{false};  // a connection has failed: the others end too
};

std::uint64_t draw_epoch() {
    static std::mt19937_64 draw{std::random_device{}()};
    std::uint64_t epoch = 0;
    while (epoch == 0) epoch = draw();
    return epoch;
}

timeval wall_now() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

// One broker connection and its share of the gateways, in a thread of its own.
class Connection {
public:
    Connection(Run &run, std::size_t index) : run_(run), link_(run.broker), index_(index) {
        for (std::uint64_t i = index; i < run.gateways; i += run.connections) {
            Gateway gateway;
            gateway.number = static_cast<std::uint32_t>(i);
            const std::string name = run.probe ? "probe" : "gw" + std::to_string(i + 1);
            gateway.packets = packets_topic(run.broker.prefix, name);
            gateway.ack = ack_topic(run.broker.prefix, name);
            gateway.epoch = draw_epoch();
            gateways_.push_back(std::move(gateway));
        }
        for (std::size_t i = 0; i < gateways_.size(); ++i) by_ack_[gateways_[i].ack] = i;
    }
    bool connect(std::string &error);
    bool wait_subscribed(std::string &error);
    bool run(std::string &error);
    bool probe(std::string &error);
    Tally &tally() { return tally_; }

private:
    void send(Gateway &gateway, std::uint64_t second, Clock::time_point now);
    void apply(Gateway &gateway, const PublishStep &step, Clock::time_point now);
    void on_ack(const mosquitto_message &message);
    bool turn(Clock::duration wait, std::string &error);

    Run &run_;
    BrokerLink link_;
    std::size_t index_;
    std::vector<Gateway> gateways_;
    std::unordered_map<std::string, std::size_t> by_ack_;
    std::size_t subscribed_ = 0;
    Tally tally_;
};

bool Connection::turn(Clock::duration wait, std::string &error) {
    bool unused = false;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(wait, Clock::duration::zero()));
    return link_.turn(-1, ms, unused, error);
}

bool Connection::connect(std::string &error) {
    link_.on_up = [this] {
        subscribed_ = 0;
        for (Gateway &gateway : gateways_) {
            link_.subscribe(gateway.ack, true, 0);  // as sfpublish does
            // What was in flight on a connection that broke goes again, as sfpublish does.
            apply(gateway, gateway.rule.reconnected(Clock::now()), Clock::now());
        }
    };
    link_.on_subscribed = [this](const std::string &) { ++subscribed_; };
    link_.on_message = [this](const mosquitto_message &message, const std::string &) { on_ack(message); };
    const std::string id = "fleet_load-" + std::to_string(getpid()) + "-" + std::to_string(index_);
    return link_.open({id, true, "", "", "", "another client took the id " + id}, error);
}

bool Connection::wait_subscribed(std::string &error) {
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    while (subscribed_ < gateways_.size()) {
        if (Clock::now() > give_up) {
            error = "the broker granted " + std::to_string(subscribed_) + " of " + std::to_string(gateways_.size()) +
                    " subscriptions in 60 s";
            return false;
        }
        if (!turn(std::chrono::milliseconds(100), error)) return false;
    }
    const auto now = Clock::now();
    for (Gateway &gateway : gateways_) gateway.rule.start(gateway.epoch, 1, now);
    return true;
}

void Connection::send(Gateway &gateway, std::uint64_t second, Clock::time_point now) {
    Flight flight{second, gateway.seq, now, format_load_batch(gateway.epoch, gateway.seq, gateway.number, wall_now())};
    ++gateway.seq;
    ++tally_.sent;
    // Not connected: it goes out when the connection is back, as the rest in flight.
    if (link_.publish(gateway.packets, flight.payload.data(), flight.payload.size(), false))
        gateway.rule.sent(gateway.seq, now);
    gateway.flights.push_back(std::move(flight));
}

void Connection::apply(Gateway &gateway, const PublishStep &step, Clock::time_point now) {
    switch (step.kind) {
        case PublishStep::advance:
            while (!gateway.flights.empty() && gateway.flights.front().seq < step.line) {
                const Flight &flight = gateway.flights.front();
                if (flight.second >= run_.warmup)
                    tally_.delays.push_back(
                        std::chrono::duration_cast<std::chrono::microseconds>(now - flight.sent).count());
                ++tally_.acked;
                gateway.flights.pop_front();
            }
            return;
        case PublishStep::resend:
        case PublishStep::fall_back:
        case PublishStep::probe:  // the flights held are those not yet acknowledged: all go again
            for (const Flight &flight : gateway.flights) {
                if (step.kind != PublishStep::probe && flight.seq < step.line) continue;
                if (!link_.publish(gateway.packets, flight.payload.data(), flight.payload.size(), false)) return;
                ++tally_.again;
                gateway.rule.sent(flight.seq + 1, now);
            }
            return;
        case PublishStep::new_epoch:  // the collector lost lines or left the epoch: never in a bench of its own
        case PublishStep::leave:
            std::fprintf(stderr, "fleet_load: gw%" PRIu32 ": the collector lost lines from %" PRIu64 "\n",
                         gateway.number + 1, step.line);
            return;
        case PublishStep::none:
            return;
    }
}

void Connection::on_ack(const mosquitto_message &message) {
    const auto found = by_ack_.find(message.topic);
    std::uint64_t epoch = 0;
    std::uint64_t next = 0;
    if (found == by_ack_.end() || !parse_ack(static_cast<const char *>(message.payload),
                                             static_cast<std::size_t>(message.payloadlen), epoch, next))
        return;
    Gateway &gateway = gateways_[found->second];
    const auto now = Clock::now();
    const auto held = [](std::uint64_t) { return Holding::held; };  // every line in flight is held here
    apply(gateway, gateway.rule.ack(epoch, next, message.retain, held, now), now);
}

bool Connection::run(std::string &error) {
    // Every connection subscribed before the first gateway sends.
    if (++run_.ready == run_.connections)
        run_.start = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         (Clock::now() + std::chrono::milliseconds(200)).time_since_epoch())
                         .count();
    while (run_.start == 0 && !run_.failed)
        if (!turn(std::chrono::milliseconds(10), error)) return false;
    if (run_.failed) return true;
    const Clock::time_point start{std::chrono::nanoseconds(run_.start.load())};
    const auto due = [&](std::uint64_t second, const Gateway &gateway) {
        return start + std::chrono::microseconds(send_offset(second, gateway.number, run_.gateways));
    };
    const auto drained_by = start + std::chrono::seconds(run_.seconds + 15);
    std::uint64_t second = 0;
    std::size_t next = 0;  // the gateway whose line of second is due next
    auto ticked = start;
    for (;;) {
        auto now = Clock::now();
        while (second < run_.seconds && due(second, gateways_[next]) <= now) {
            Gateway &gateway = gateways_[next];
            if (second >= first_second(gateway.number, run_.gateways, run_.warmup)) send(gateway, second, now);
            if (++next == gateways_.size()) next = 0, ++second;
        }
        if (now - ticked >= std::chrono::milliseconds(100)) {
            for (Gateway &gateway : gateways_) apply(gateway, gateway.rule.tick(now), now);
            ticked = now;
        }
        if (run_.failed) return true;
        if (second == run_.seconds && (tally_.acked == tally_.sent || now > drained_by)) break;
        const auto wake = second < run_.seconds
                              ? std::min(due(second, gateways_[next]), ticked + std::chrono::milliseconds(100))
                              : ticked + std::chrono::milliseconds(100);
        // The sends due within send_tick go out together: a wake-up for each
        // of thousands of sends a second would take CPU the collector needs.
        if (!turn(std::max<Clock::duration>(wake - now, send_tick), error)) return false;
    }
    for (const Gateway &gateway : gateways_) tally_.unacked += gateway.flights.size();
    link_.close_cleanly();
    return true;
}

bool Connection::probe(std::string &error) {
    Gateway &gateway = gateways_.front();
    send(gateway, 0, Clock::now());
    // Out of libmosquitto's hands, and so at the broker, after a turn or two.
    for (int i = 0; i < 3; ++i)
        if (!turn(std::chrono::milliseconds(10), error)) return false;
    std::printf("sent\n");
    std::fflush(stdout);
    const auto give_up = Clock::now() + std::chrono::seconds(120);
    while (!gateway.flights.empty()) {
        if (Clock::now() > give_up) {
            error = "no ack in 120 s";
            return false;
        }
        if (!turn(std::chrono::milliseconds(100), error)) return false;
    }
    const timeval acked = wall_now();
    std::printf("acked %lld.%06ld\n", static_cast<long long>(acked.tv_sec), static_cast<long>(acked.tv_usec));
    link_.close_cleanly();
    return true;
}

bool parse_count(const char *text, std::uint64_t least, std::uint64_t &value) {
    char *end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && value >= least && value < 10000000;
}

}  // namespace

int main(int argc, char **argv) {
    Run run;
    run.probe = argc == 4 && std::string(argv[3]) == "probe";
    const bool probe = run.probe;
    std::uint64_t connections = 1;
    if (probe) run.gateways = 1;
    if (!probe && (argc != 7 || !parse_count(argv[3], 1, run.gateways) || !parse_count(argv[4], 1, connections) ||
                   !parse_count(argv[5], 1, run.seconds) || !parse_count(argv[6], 0, run.warmup))) {
        std::fputs(
            "usage: fleet_load URL PREFIX GATEWAYS CONNECTIONS SECONDS WARMUP\n"
            "       fleet_load URL PREFIX probe\n",
            stderr);
        return 2;
    }
    if (!parse_broker_url(argv[1], run.broker)) {
        std::fprintf(stderr, "fleet_load: not a broker: %s\n", argv[1]);
        return 2;
    }
    run.broker.prefix = argv[2];
    run.connections = probe ? 1 : static_cast<std::size_t>(std::min(connections, run.gateways));
    std::vector<std::unique_ptr<Connection>> links;
    std::string error;
    for (std::size_t i = 0; i < run.connections; ++i) {
        links.push_back(std::make_unique<Connection>(run, i));
        if (!links.back()->connect(error)) {
            std::fprintf(stderr, "fleet_load: %s\n", error.c_str());
            return 1;
        }
    }
    std::vector<std::thread> threads;
    std::vector<std::string> errors(run.connections);
    for (std::size_t i = 0; i < run.connections; ++i)
        threads.emplace_back([&, i] {
            Connection &link = *links[i];
            if (!link.wait_subscribed(errors[i]) || !(probe ? link.probe(errors[i]) : link.run(errors[i])))
                run.failed = true;
        });
    for (std::thread &thread : threads) thread.join();
    for (const std::string &failure : errors)
        if (!failure.empty()) {
            std::fprintf(stderr, "fleet_load: %s\n", failure.c_str());
            return 1;
        }
    if (probe) return 0;
    Tally all;
    for (const auto &link : links) {
        const Tally &part = link->tally();
        all.delays.insert(all.delays.end(), part.delays.begin(), part.delays.end());
        all.sent += part.sent;
        all.acked += part.acked;
        all.again += part.again;
        all.unacked += part.unacked;
    }
    std::sort(all.delays.begin(), all.delays.end());
    const auto ms = [&](double share) { return static_cast<double>(percentile(all.delays, share)) / 1000.0; };
    std::printf("batches %" PRIu64 " acked %" PRIu64 " again %" PRIu64 " unacknowledged %" PRIu64
                " p50 %.2f p99 %.2f max %.2f\n",
                all.sent, all.acked, all.again, all.unacked, ms(0.5), ms(0.99), ms(1.0));
    return all.unacked == 0 ? 0 : 1;
}
