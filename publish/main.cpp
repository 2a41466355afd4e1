// sfpublish: ships a gateway's packet log to a central collector through an
// MQTT broker, line for line and exactly once: the log is the spool, and a
// line counts as shipped only once the collector says it is on its disk.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <unistd.h>

#include "broker.h"
#include "contract.h"
#include "follower.h"
#include "gap_question.h"
#include "host_name.h"
#include "lock_file.h"
#include "lost_lines.h"
#include "metrics.h"
#include "numbers.h"
#include "options.h"
#include "publish_metrics.h"
#include "publish_rule.h"
#include "signals.h"
#include "state.h"
#include "std_fds.h"
#include "warn.h"

namespace {

using Clock = std::chrono::steady_clock;

const char usage[] =
    "usage: sfpublish [-b URL] [-t PREFIX] [-u USER] [--cafile FILE] [--cert FILE --key FILE]\n"
    "                 [--metrics ADDRESS:PORT] [--olddir DIR] [-s FILE] [-e] NAME LOG\n";
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
    "  --metrics ADDRESS:PORT  serve Prometheus metrics at http://ADDRESS:PORT/metrics\n"
    "               (ADDRESS an IPv4 address; port 0: one the system picks, printed)\n"
    "  --olddir DIR  logrotate's olddir: the folder it moves LOG's rotated files to,\n"
    "               relative to LOG's folder (the folder of the file LOG links to) unless absolute\n"
    "  -s FILE      state file (default LOG.sfpublish)\n"
    "  -e           ship what LOG holds now, wait until all of it is acknowledged, exit\n"
    "  -h, --help   print this and exit\n"
    "  -V, --version  print the version and exit\n";

// Unacknowledged at most. The bytes cover the ack round trip at full speed;
// libmosquitto holds each batch until the broker has it, so they also bound
// our memory. The count bounds what one gateway adds to the broker's queue.
constexpr std::size_t window_bytes = 4 << 20;
constexpr std::size_t window_batches = 64;
constexpr std::chrono::milliseconds save_every{200};
constexpr std::chrono::seconds retry_save{1};
// Numbers reserved at once in the state before lines past the last
// reservation go out: one sync per so many lines, and after a kill at most
// so many numbers whose lines a restart cannot know.
constexpr std::uint64_t reserve_block = 65536;

struct Options {
    BrokerOptions broker;
    MetricsAddress metrics;  // port -1: none
    std::string name;
    std::string log;
    std::string olddir;
    std::string state;
    bool once = false;
};

bool same_place(const Position &a, const Position &b) { return a.print == b.print && a.offset == b.offset; }

bool same_cut(const Cut &a, const Cut &b) { return same_place(a.at, b.at) && a.at.seq == b.at.seq && a.high == b.high; }

bool same_marks(const std::vector<FileMark> &a, const std::vector<FileMark> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const FileMark &x, const FileMark &y) { return x.print == y.print && x.first == y.first; });
}

struct Batch {
    std::uint64_t end_seq;  // the first line after it
    Position end;
    std::size_t size;
};

class Publisher {
public:
    explicit Publisher(const Options &options)
        : options_(options),
          link_(options.broker),
          follower_(options.log, options.olddir),
          me_(sender_since_now(host_name() + ":" + options.log)),
          counts_(metrics_.registry(), options.name) {}
    ~Publisher() {
        if (lock_fd_ >= 0) close(lock_fd_);
    }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;
    int run();

private:
    bool start(std::string &error);
    void on_ack(const mosquitto_message &message);
    void apply(const PublishStep &step);
    bool take_gap();
    bool ask_collector(const Gap &gap);
    void forget_in_flight();
    void start_epoch(std::uint64_t line);
    void leave_epoch(std::uint64_t line);
    void begin_epoch(std::uint64_t epoch, Position at);
    void send_batches();
    bool reserve(std::uint64_t to);
    bool cut_saved();
    void save(bool now);
    void note_acked();
    void update_gauges();

    const Options &options_;
    BrokerLink link_;
    Follower follower_;
    PublishState state_;
    PublishRule rule_;
    Position read_;              // where the next batch starts
    Position found_;             // the line a lower ack asked for, once found
    std::uint64_t skip_to_ = 0;  // lines before this the collector has
    std::deque<Batch> in_flight_;
    std::size_t in_flight_bytes_ = 0;
    // Lines lost at the gateway, not yet told to the collector; the first
    // telling_ go with the first batch of the epoch, until it is acknowledged.
    std::vector<LostRange> lost_;
    std::size_t telling_ = 0;
    // Whether the collector was asked about the gap reading stopped at, and answered.
    GapQuestion question_;
    Clock::time_point asked_at_{};
    std::string payload_;
    std::string me_;  // who this publisher is to others of its name: "SINCE HOST:LOG"
    Metrics metrics_;
    PublishMetrics counts_;
    std::uint64_t sent_high_ = 0;    // lines of the epoch before this have been sent
    std::uint64_t acked_high_ = 0;   // and before this acknowledged, as counted
    Clock::time_point gauged_at_{};  // when the gauges were last set
    bool announced_ = false;         // online, on this connection or an earlier one
    bool epoch_pending_ = false;     // a new epoch, not yet durable: nothing of it goes out
    bool dirty_ = false;
    bool save_failing_ = false;
    Clock::time_point saved_at_{};
    // What the state file holds: no line past the reservation nor of a file
    // not marked there goes out.
    std::uint64_t durable_reserved_ = 0;
    std::vector<FileMark> durable_files_;
    Cut durable_cut_;
    int lock_fd_ = -1;  // the state's: two on one state would each undo the other's
};

bool Publisher::start(std::string &error) {
    bool found = false;
    if (!load_state(options_.state, state_, found, error)) return false;
    lost_ = state_.lost;  // told with the epoch's first batch, already counted
    telling_ = lost_.size();
    if (!found) {
        state_.epoch = draw_epoch();
        epoch_pending_ = true;
        counts_.epochs.Increment();
    }
    follower_.on_malformed = [this] { counts_.malformed.Increment(); };
    follower_.on_late_lines = [this](std::uint64_t lines) { counts_.lost.Increment(static_cast<double>(lines)); };
    on_lines_lost([this](const LostRange &range) {
        counts_.lost.Increment(static_cast<double>(range.lines()));
        lost_.push_back(range);
    });
    follower_.restore(state_.files, state_.numbers, state_.cut);
    durable_reserved_ = state_.numbers.reserved;
    durable_files_ = state_.files;
    durable_cut_ = state_.cut;
    follower_.settle(state_.acked);  // a first start: on the log as it is now, before it is rotated
    rule_.start(state_.epoch, state_.acked.seq, Clock::now());
    read_ = state_.acked;
    sent_high_ = acked_high_ = state_.acked.seq;
    if (options_.once) follower_.stop_at_current_end();
    const std::string ack = ack_topic(options_.broker.prefix, options_.name);
    const std::string status = status_topic(options_.broker.prefix, options_.name);
    // The status is read before it is written: the broker answers the two
    // subscriptions in order, so what another publisher of this name left
    // there has come by the time the ack's subscription is granted.
    link_.on_up = [this, ack, status] {
        counts_.connected.Set(1);
        counts_.connects.Increment();
        link_.subscribe(status, false);  // only to find another publisher of the name
        // At QoS 0: the broker sends a QoS 0 message ahead of QoS 1 ones
        // waiting for our window, so acks the collector sends at either
        // would come out of order. A clean session keeps nothing for us
        // while we are away anyway, and a lost ack is sent again.
        link_.subscribe(ack, true, 0);
        apply(rule_.reconnected(Clock::now()));
    };
    link_.on_down = [this] { counts_.connected.Set(0); };
    link_.on_subscribed = [this, ack, status](const std::string &filter) {
        if (filter != ack) return;
        if (link_.publish(status, "online", 6, true, me_)) announced_ = true;
    };
    link_.on_message = [this, ack, status](const mosquitto_message &message, const std::string &from) {
        if (ack == message.topic) on_ack(message);
        if (status == message.topic && shows_name_taken(from, me_, announced_))
            link_.refuse("another sfpublish is using the name " + options_.name);
    };
    const std::string taken = "another sfpublish is using the name " + options_.name;
    return link_.open({"sfpublish-" + options_.name, true, status, "offline", me_, taken}, error);
}

void Publisher::on_ack(const mosquitto_message &message) {
    std::uint64_t epoch = 0;
    std::uint64_t next = 0;
    const auto *payload = static_cast<const char *>(message.payload);
    const auto size = static_cast<std::size_t>(message.payloadlen);
    if (parse_left(payload, size, epoch)) return apply(rule_.left(epoch, message.retain, Clock::now()));
    if (!parse_ack(payload, size, epoch, next)) return;
    if (question_.state() == GapQuestion::asked)
        question_.hear(epoch, next, message.retain, link_.properties_of(answers_property));
    const auto held = [this](std::uint64_t line) { return follower_.locate(line, found_); };
    apply(rule_.ack(epoch, next, message.retain, held, Clock::now()));
}

void Publisher::forget_in_flight() {
    in_flight_.clear();
    in_flight_bytes_ = 0;
}

void Publisher::apply(const PublishStep &step) {
    switch (step.kind) {
        case PublishStep::none:
            return;
        case PublishStep::advance: {
            if (telling_ > 0) {  // the collector has started the epoch, and heard them
                lost_.erase(lost_.begin(), lost_.begin() + static_cast<std::ptrdiff_t>(telling_));
                telling_ = 0;
                dirty_ = true;
            }
            Position at = state_.acked;
            while (!in_flight_.empty() && in_flight_.front().end_seq <= step.line) {
                at = in_flight_.front().end;
                in_flight_bytes_ -= in_flight_.front().size;
                in_flight_.pop_front();
            }
            if (step.line > read_.seq) {
                // Further than read: pass over what the collector has.
                forget_in_flight();
                skip_to_ = step.line;
                return;
            }
            // Inside a batch when the collector acknowledged copies cut elsewhere: counted to.
            if (at.seq < step.line) follower_.skip(at, step.line);
            if (at.seq == step.line) {
                state_.acked = at;
                dirty_ = true;
                note_acked();
            }
            return;
        }
        case PublishStep::probe: {
            // The acknowledged place stays: only the collector's answer moves it.
            forget_in_flight();
            skip_to_ = 0;
            read_ = state_.acked;
            Position last;
            if (step.line > 1 && follower_.find(step.line - 1, last))
                read_ = last;
            else if (step.line > state_.acked.seq)
                skip_to_ = step.line;
            return;
        }
        case PublishStep::fall_back:
            warn("the collector's ack fell back from %s to %s (restored from a backup?); sending again from %s",
                 group_digits(step.before).c_str(), group_digits(step.line).c_str(), group_digits(step.line).c_str());
            [[fallthrough]];
        case PublishStep::resend:
            forget_in_flight();
            skip_to_ = 0;
            if (step.line < state_.acked.seq) {
                state_.acked = found_;
                dirty_ = true;
            } else if (step.line > state_.acked.seq) {
                skip_to_ = step.line;
            }
            read_ = state_.acked;
            return;
        case PublishStep::new_epoch:
            return start_epoch(step.line);
        case PublishStep::leave:
            return leave_epoch(step.line);
    }
}

// The collector has the epoch only before line, and the gateway no longer
// holds that line: the central log has a gap up to the first line the
// gateway still holds, where a new epoch starts.
void Publisher::start_epoch(std::uint64_t line) {
    Position from = state_.acked;
    follower_.find_held(line, from);
    note_lines_lost(state_.epoch, line, from.seq - 1);
    const std::uint64_t fresh = draw_epoch();
    warn("the collector has epoch %016" PRIx64 " only before line %s; starting epoch %016" PRIx64 " at line %s",
         state_.epoch, group_digits(line).c_str(), fresh, group_digits(from.seq).c_str());
    begin_epoch(fresh, from);
}

// The collector left the epoch for another: this state rolled back (a VM
// snapshot), or another gateway publishes under the name. The lines from
// the acknowledged one on go out again in a new epoch; none is lost.
void Publisher::leave_epoch(std::uint64_t line) {
    Position from = state_.acked;
    if (line > from.seq) follower_.find(line, from);
    const std::uint64_t fresh = draw_epoch();
    warn("the collector has left epoch %016" PRIx64
         " for another (this gateway's state rolled back? another gateway "
         "publishing as %s?); starting epoch %016" PRIx64 " at line %s",
         state_.epoch, options_.name.c_str(), fresh, group_digits(from.seq).c_str());
    begin_epoch(fresh, from);
}

// Reading stopped before lines of the epoch that are no longer on the
// gateway (the files that held them gone or cut short). Once the collector
// has every line before them: when it has those too, reading goes on after
// them; else the lines it lacks are lost, and a new epoch starts where the
// gateway's lines go on. False while there is no gap, or lines are out.
bool Publisher::take_gap() {
    Gap gap;
    if (!follower_.gap_at(read_, gap) || !in_flight_.empty() || !cut_saved()) return false;
    const std::uint64_t have = std::max({state_.acked.seq, skip_to_, gap.first});
    if (have > gap.last && !gap.fresh) {
        question_.forget();
        read_ = gap.resume;
        skip_to_ = have > read_.seq ? have : 0;
        if (skip_to_ == 0) {
            state_.acked = read_;
            dirty_ = true;
            note_acked();
        }
        return true;
    }
    // An ack the broker kept may be of any age, and lines of a run before may
    // still be on their way: only the collector's answer to a line sent now
    // tells what it has.
    const auto now = Clock::now();
    if (question_.state() != GapQuestion::answered) {
        if (question_.state() == GapQuestion::asked && now - asked_at_ < rule_.patience())
            return false;  // asked again after it
        if (ask_collector(gap)) asked_at_ = now;
        return false;
    }
    question_.forget();
    // Numbers reserved by a run that was killed: whether they went out with lines, nobody knows.
    const std::uint64_t unknown = std::max(have, gap.known_last + 1);
    note_lines_lost(state_.epoch, have, gap.known_last);
    if (unknown <= gap.last)
        warn("lines %s to %s of epoch %016" PRIx64
             " may have been read before sfpublish stopped uncleanly, and the gateway no longer holds them: "
             "at most %s lines lost, not counted",
             group_digits(unknown).c_str(), group_digits(gap.last).c_str(), state_.epoch,
             group_digits(gap.last - unknown + 1).c_str());
    const std::uint64_t fresh = draw_epoch();
    warn("starting epoch %016" PRIx64 " at line %s of epoch %016" PRIx64 ", the first the gateway holds", fresh,
         group_digits(gap.resume.seq).c_str(), state_.epoch);
    begin_epoch(fresh, gap.resume);
    return true;
}

// Sends the first line after the gap as a question the collector must
// answer with what it has: under its own number where that file was
// numbered, else past the gap's last number, beyond the collector's next
// whatever it holds, so that it never takes it. Nothing is in flight meanwhile.
// A fresh nonce names it, which the collector's answer echoes.
bool Publisher::ask_collector(const Gap &gap) {
    std::string line;
    std::uint64_t seq = gap.fresh ? gap.last + 2 : gap.resume.seq;
    if (!follower_.line_at(gap.resume, line)) {
        // Nothing after a cut yet: the last line kept before it, under its own number.
        Position before;
        seq = gap.resume.seq - 1;
        if (seq == 0 || seq >= gap.first || follower_.locate(seq, before) != Holding::held ||
            !follower_.line_at(before, line))
            return false;
    }
    payload_ = format_header(state_.epoch, seq) + line;
    const std::string nonce = format_nonce(draw_epoch());
    if (!link_.publish(packets_topic(options_.broker.prefix, options_.name), payload_.data(), payload_.size(), false,
                       "", {{question_property, nonce}}))
        return false;
    question_.ask(state_.epoch, nonce);
    return true;
}

void Publisher::begin_epoch(std::uint64_t epoch, Position at) {
    forget_in_flight();
    skip_to_ = 0;
    question_.forget();
    telling_ = lost_.size();  // with the first batch of this epoch
    state_.epoch = epoch;
    state_.acked = at;
    state_.numbers = Numbers{};  // reserved with the epoch's first batch
    follower_.renumber(state_.acked);
    read_ = state_.acked;
    rule_.start(epoch, state_.acked.seq, Clock::now());
    epoch_pending_ = true;
    sent_high_ = acked_high_ = state_.acked.seq;
    counts_.epochs.Increment();
}

void Publisher::send_batches() {
    while (!epoch_pending_ && link_.up() && in_flight_bytes_ < window_bytes && in_flight_.size() < window_batches) {
        if (skip_to_ != 0) {
            if (!follower_.skip(read_, skip_to_)) {
                if (take_gap()) continue;
                return;  // until the log holds them
            }
            if (in_flight_.empty()) {
                state_.acked = read_;
                dirty_ = true;
                note_acked();
            }
            skip_to_ = 0;
        }
        payload_.clear();
        payload_ += format_header(state_.epoch, read_.seq);
        const Position start = read_;
        const std::size_t lines = follower_.read(read_, payload_, max_payload - payload_.size());
        if (lines == 0) {
            if (take_gap()) continue;
            if (in_flight_.empty() && read_.seq == state_.acked.seq && !same_place(read_, state_.acked)) {
                // Past malformed lines or into a new file, with nothing unacknowledged.
                state_.acked = read_;
                dirty_ = true;
            }
            return;
        }
        if (state_.acked.print == 0 && in_flight_.empty()) {
            // The log came after the start: acknowledged lines are counted from its start, not from its name.
            state_.acked = Position{read_.print, 0, 0, state_.acked.seq};
        }
        if (!cut_saved() || !reserve(read_.seq)) {
            read_ = start;  // once the reservation is on disk
            return;
        }
        UserProperties told;
        for (std::size_t i = 0; start.seq == 1 && i < telling_; ++i)
            told.emplace_back(lost_property, format_lost(lost_[i]));
        if (!link_.publish(packets_topic(options_.broker.prefix, options_.name), payload_.data(), payload_.size(),
                           false, "", told)) {
            read_ = start;  // sent again once connected, or the link has ended
            return;
        }
        in_flight_.push_back({read_.seq, read_, payload_.size()});
        in_flight_bytes_ += payload_.size();
        rule_.sent(read_.seq, Clock::now());
        const SentLines split = split_sent(start.seq, lines, sent_high_);
        counts_.sent.Increment(static_cast<double>(split.fresh));
        counts_.resent.Increment(static_cast<double>(split.again));
        sent_high_ = std::max(sent_high_, read_.seq);
        // With the routine saves: after a kill, a loss is known but for the last moments' lines.
        if (follower_.high() > state_.numbers.given) dirty_ = true;
    }
}

// Numbers before to, and the file their lines are in, are saved as handed
// out before they go out: a restart then never gives them to other lines.
// False while the state cannot be saved; tried again after a pause.
bool Publisher::reserve(std::uint64_t to) {
    if (to <= durable_reserved_ && same_marks(follower_.files(), durable_files_)) return true;
    if (save_failing_ && Clock::now() - saved_at_ < retry_save) return false;
    if (to > state_.numbers.reserved) state_.numbers.reserved = to - 1 + reserve_block;
    dirty_ = true;
    save(true);
    return !save_failing_;
}

// A cut is durable before anything past it is acted on: a restart that
// knew nothing of it would read the lines written after it under the
// numbers of the lines cut off, which the collector drops as duplicates.
bool Publisher::cut_saved() {
    if (same_cut(follower_.cut(), durable_cut_)) return true;
    if (save_failing_ && Clock::now() - saved_at_ < retry_save) return false;
    dirty_ = true;
    save(true);
    return !save_failing_;
}

// A new epoch is durable before any batch of it goes out; otherwise the
// state is written when it changed, at most every save_every. A routine save
// that fails is said once and retried: an older saved place only costs lines
// sent again, which the collector drops.
void Publisher::save(bool now) {
    if (!dirty_ && !epoch_pending_) return;
    const auto at = Clock::now();
    const Clock::duration wait = now || (epoch_pending_ && !save_failing_) ? Clock::duration(0)
                                 : save_failing_                           ? Clock::duration(retry_save)
                                                                           : Clock::duration(save_every);
    if (at - saved_at_ < wait) return;
    saved_at_ = at;
    state_.files = follower_.files();
    state_.cut = follower_.cut();
    state_.lost = lost_;
    Numbers &numbers = state_.numbers;
    if (numbers.reserved != 0) {
        numbers.given = std::min(follower_.high(), numbers.reserved);
        const Position &end = follower_.high_at();
        const bool placed = numbers.given == follower_.high() && end.seq == numbers.given;
        numbers.print = placed ? end.print : 0;
        numbers.offset = placed ? end.offset : 0;
    }
    std::string error;
    if (!save_state(options_.state, state_, error)) {
        if (!save_failing_) warn("%s; retrying%s", error.c_str(), epoch_pending_ ? "" : ", shipping goes on");
        save_failing_ = true;
        return;
    }
    if (save_failing_) warn("%s: saved again", options_.state.c_str());
    durable_reserved_ = numbers.reserved;
    durable_files_ = state_.files;
    durable_cut_ = state_.cut;
    save_failing_ = false;
    dirty_ = false;
    epoch_pending_ = false;
}

// Acknowledged lines are counted once each, though a lower ack may move the
// acknowledged place back.
void Publisher::note_acked() {
    if (state_.acked.seq <= acked_high_) return;
    counts_.acked.Increment(static_cast<double>(state_.acked.seq - acked_high_));
    acked_high_ = state_.acked.seq;
}

// Once a second at most: each costs an fstat of every file still known, and
// the loop turns for every line the logger writes.
void Publisher::update_gauges() {
    const auto now = Clock::now();
    if (now - gauged_at_ < std::chrono::seconds(1)) return;
    gauged_at_ = now;
    const std::uint64_t backlog = follower_.bytes_after(state_.acked);
    long long micros = 0;
    if (backlog > 0) follower_.timestamp_at(state_.acked, micros);
    counts_.backlog.Set(static_cast<double>(backlog));
    counts_.oldest.Set(static_cast<double>(micros) / 1e6);
}

int Publisher::run() {
    std::string error;
    lock_fd_ = lock_beside(options_.state, "sfpublish", "state file", error);
    if (lock_fd_ < 0 || !metrics_.serve(options_.metrics, error)) {
        warn("%s", error.c_str());
        return 1;
    }
    bool going = start(error);
    while (going && !stop_requested()) {
        save(false);
        send_batches();
        if (options_.once && in_flight_.empty() && !epoch_pending_ && follower_.at_end(state_.acked) && link_.up())
            break;
        apply(rule_.tick(Clock::now()));
        update_gauges();
        bool changed = false;
        going = link_.turn(follower_.watch_fd(), follower_.patience(), changed, error);
        if (changed) follower_.drain_events();
    }
    if (!error.empty()) {
        warn("%s", error.c_str());
        return 1;
    }
    // Stopped cleanly: the numbers handed out are known exactly.
    state_.numbers = {follower_.high(), follower_.numbered()};
    dirty_ = true;
    save(true);
    link_.publish(status_topic(options_.broker.prefix, options_.name), "offline", 7, true, me_);
    link_.close_cleanly();
    return 0;
}

// True to go on; false with the exit status set.
bool parse_options(int argc, char **argv, Options &options, int &status) {
    enum { option_olddir = 512 };
    static const option own_long[] = {{"olddir", required_argument, nullptr, option_olddir}, {nullptr, 0, nullptr, 0}};
    const FleetCommand command{"sfpublish", "s:e", 2, usage, help, own_long};
    const auto take = [&](int option, const char *arg) {
        if (option == 's') options.state = arg;
        if (option == 'e') options.once = true;
        if (option == option_olddir) options.olddir = arg;
        return option == 's' || option == 'e' || (option == option_olddir && *arg != '\0');
    };
    if (!parse_fleet_options(argc, argv, command, options.broker, options.metrics, take, status)) return false;
    options.name = argv[optind];
    options.log = argv[optind + 1];
    if (!is_gateway_name(options.name)) {
        warn("not a gateway name: %s (%s)", options.name.c_str(), gateway_name_rule(options.name).c_str());
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
