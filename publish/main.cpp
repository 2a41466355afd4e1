// sfpublish: ships a gateway's packet log to a central collector through an
// MQTT broker, line for line and exactly once: the log is the spool, and a
// line counts as shipped only once the collector says it is on its disk.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include <mosquitto.h>
#include <unistd.h>

#include "broker.h"
#include "contract.h"
#include "follower.h"
#include "options.h"
#include "signals.h"
#include "state.h"
#include "std_fds.h"
#include "warn.h"

namespace {

using Clock = std::chrono::steady_clock;

const char usage[] =
    "usage: sfpublish [-b URL] [-t PREFIX] [-u USER] [--cafile FILE] [--cert FILE --key FILE] [-s FILE] [-e] NAME "
    "LOG\n";
const char help[] =
    "Ships every line of the packet log LOG to the collector, as gateway NAME,\n"
    "through an MQTT broker; follows LOG across rotation.\n"
    "\n"
    "  -b URL       broker: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883);\n"
    "               default mqtt://localhost\n"
    "  -t PREFIX    topic prefix (default sflogger)\n"
    "  -u USER      user name; the password is taken from SF_MQTT_PASSWORD\n"
    "  --cafile FILE  CA certificate for mqtts (default: the system's CAs)\n"
    "  --cert FILE, --key FILE  client certificate and key for mqtts\n"
    "  -s FILE      state file (default LOG.sfpublish)\n"
    "  -e           ship what LOG holds now, wait until all of it is acknowledged, exit\n"
    "  -h, --help   print this and exit\n"
    "  -V, --version  print the version and exit\n";

// Unacknowledged at most. The bytes cover the ack round trip at full speed;
// libmosquitto holds each batch until the broker has it, so they also bound
// our memory. The count bounds what one gateway adds to the broker's queue.
constexpr std::size_t window_bytes = 4 << 20;
constexpr std::size_t window_batches = 64;
constexpr std::chrono::seconds patience{5};  // without progress, then sent again
constexpr std::chrono::milliseconds save_every{200};

struct Options {
    BrokerOptions broker;
    std::string name;
    std::string log;
    std::string state;
    bool once = false;
};

bool same_place(const Position &a, const Position &b) {
    return a.dev == b.dev && a.ino == b.ino && a.offset == b.offset;
}

struct Batch {
    std::uint64_t end_seq;  // the first line after it
    Position end;
    std::size_t bytes;
};

class Publisher {
public:
    explicit Publisher(const Options &options) : options_(options), link_(options.broker), follower_(options.log) {}
    int run();

private:
    bool start(std::string &error);
    void on_ack(const mosquitto_message &message);
    void rewind();
    void send_batches();
    bool save(bool now, std::string &error);

    const Options &options_;
    BrokerLink link_;
    Follower follower_;
    PublishState state_;
    Position read_;              // where the next batch starts
    std::uint64_t skip_to_ = 0;  // lines before this the collector has
    std::deque<Batch> in_flight_;
    std::size_t in_flight_bytes_ = 0;
    std::string payload_;
    Clock::time_point progress_ = Clock::now();
    Clock::time_point saved_at_{};
    bool dirty_ = false;
};

bool Publisher::start(std::string &error) {
    bool found = false;
    if (!load_state(options_.state, state_, found, error)) return false;
    if (!found) {
        state_.epoch = draw_epoch();
        if (!save_state(options_.state, state_, error)) return false;
    }
    read_ = state_.acked;
    if (options_.once) follower_.stop_at_current_end();
    const std::string ack = ack_topic(options_.broker.prefix, options_.name);
    const std::string status = status_topic(options_.broker.prefix, options_.name);
    link_.on_up = [this, ack, status] {
        link_.publish(status, "online", 6, true);
        link_.subscribe(ack);
        rewind();
    };
    link_.on_message = [this, ack](const mosquitto_message &message) {
        if (ack == message.topic) on_ack(message);
    };
    return link_.open("sfpublish-" + options_.name, true, status, "offline", error);
}

// Sends again from the last acknowledged line.
void Publisher::rewind() {
    in_flight_.clear();
    in_flight_bytes_ = 0;
    read_ = state_.acked;
    progress_ = Clock::now();
}

void Publisher::on_ack(const mosquitto_message &message) {
    std::uint64_t epoch = 0;
    std::uint64_t next = 0;
    if (!parse_ack(static_cast<const char *>(message.payload), static_cast<std::size_t>(message.payloadlen), epoch,
                   next) ||
        epoch != state_.epoch)
        return;  // another epoch's, or not an ack
    Position &acked = state_.acked;
    if (next < acked.seq) {
        // The collector has lost its record of this gateway.
        const std::uint64_t fresh = draw_epoch();
        warn("the collector knows epoch %016" PRIx64 " only up to line %" PRIu64 ", not %" PRIu64
             "; starting epoch %016" PRIx64 " there",
             epoch, next, acked.seq, fresh);
        state_.epoch = fresh;
        acked.seq = 1;
        skip_to_ = 0;
        dirty_ = true;
        saved_at_ = Clock::time_point{};  // written at the end of this turn
        return rewind();
    }
    progress_ = Clock::now();
    if (next == acked.seq) {
        // Fresh, not the retained one a subscription brings: a batch went
        // missing, so from here again.
        if (!message.retain && !in_flight_.empty()) rewind();
        return;
    }
    while (!in_flight_.empty() && in_flight_.front().end_seq <= next) {
        if (in_flight_.front().end_seq == next) {
            acked = in_flight_.front().end;
            dirty_ = true;
        }
        in_flight_bytes_ -= in_flight_.front().bytes;
        in_flight_.pop_front();
    }
    if (acked.seq < next) {
        // Further than any batch of this run: pass over what the collector has.
        skip_to_ = next;
        rewind();
    }
}

void Publisher::send_batches() {
    while (link_.up() && in_flight_.size() < window_batches && in_flight_bytes_ < window_bytes) {
        const std::uint64_t first = read_.seq;
        payload_.clear();
        payload_ += format_header(state_.epoch, first);
        const std::size_t lines = follower_.read(read_, skip_to_, payload_, max_payload - payload_.size());
        if (skip_to_ != 0 && read_.seq == skip_to_ && state_.acked.seq < skip_to_) {
            state_.acked = read_;
            dirty_ = true;
            skip_to_ = 0;
            continue;
        }
        if (lines == 0) {
            if (read_.seq != first) continue;
            if (in_flight_.empty() && read_.seq == state_.acked.seq && !same_place(read_, state_.acked)) {
                // Past malformed lines or into a new file, with nothing unacknowledged.
                state_.acked = read_;
                dirty_ = true;
            }
            return;
        }
        if (!link_.publish(packets_topic(options_.broker.prefix, options_.name), payload_.data(), payload_.size(),
                           false))
            return rewind();
        in_flight_.push_back({read_.seq, read_, payload_.size()});
        in_flight_bytes_ += payload_.size();
    }
}

// Writes the state when it changed, at most every save_every unless now.
bool Publisher::save(bool now, std::string &error) {
    if (!dirty_ && !now) return true;
    const auto at = Clock::now();
    if (!now && at - saved_at_ < save_every) return true;
    saved_at_ = at;
    dirty_ = false;
    return save_state(options_.state, state_, error);
}

int Publisher::run() {
    std::string error;
    bool going = start(error);
    while (going && !stop_requested()) {
        send_batches();
        if (options_.once && in_flight_.empty() && follower_.at_end(state_.acked) && link_.up()) break;
        if (!in_flight_.empty() && Clock::now() - progress_ > patience) rewind();
        bool changed = false;
        going = link_.turn(follower_.watch_fd(), std::chrono::milliseconds(1000), changed, error);
        if (changed) follower_.drain_events();
        // A new epoch is on disk before any batch of it goes out.
        std::string failure;
        if (!save(false, failure)) {
            error = failure;
            going = false;
        }
    }
    std::string failure;
    if (!save(true, failure) && error.empty()) error = failure;
    if (!error.empty()) {
        warn("%s", error.c_str());
        return 1;
    }
    link_.publish(status_topic(options_.broker.prefix, options_.name), "offline", 7, true);
    link_.close_cleanly();
    return 0;
}

// True to go on; false with the exit status set.
bool parse_options(int argc, char **argv, Options &options, int &status) {
    const FleetCommand command{"sfpublish", "s:e", 2, usage, help};
    const auto take = [&](int option, const char *arg) {
        if (option == 's') options.state = arg;
        if (option == 'e') options.once = true;
        return option == 's' || option == 'e';
    };
    if (!parse_fleet_options(argc, argv, command, options.broker, take, status)) return false;
    options.name = argv[optind];
    options.log = argv[optind + 1];
    if (!is_gateway_name(options.name)) {
        warn("not a gateway name: %s (1 to %zu letters, digits, '.', '_', '-')", options.name.c_str(),
             max_gateway_name);
        std::fputs(usage, stderr);
        return false;
    }
    if (options.state.empty()) options.state = options.log + ".sfpublish";
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    set_program_name("sfpublish");
    open_std_fds();
    ignore_sigpipe();
    Options options;
    int status = 0;
    if (!parse_options(argc, argv, options, status)) return status;
    catch_stop_signals();
    return Publisher(options).run();
}
