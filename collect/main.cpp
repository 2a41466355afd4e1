// sfcollect: the central end of the fleet. Takes the batches of log lines
// every gateway's sfpublish sends through the MQTT broker, appends each
// gateway's lines to DIR/NAME.log exactly once, and acknowledges them once
// they are on disk.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <mosquitto.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ack_qos.h"
#include "archive_rule.h"
#include "broker.h"
#include "collect_metrics.h"
#include "collect_rule.h"
#include "contract.h"
#include "gap_question.h"
#include "gateway_store.h"
#include "host_name.h"
#include "lost_range.h"
#include "metrics.h"
#include "options.h"
#include "packet_log.h"
#include "signals.h"
#include "std_fds.h"
#include "syncer.h"
#include "warn.h"

namespace {

const char usage[] =
    "usage: sfcollect [-b URL] [-t PREFIX] [-u USER] [--cafile FILE] [--cert FILE --key FILE]\n"
    "                 [--metrics ADDRESS:PORT] [-i ID] DIR\n";
const char help[] =
    "Writes the packet log lines every gateway publishes to DIR/NAME.log, each\n"
    "line exactly once, and acknowledges them once they are on disk.\n"
    "\n"
    "  -b URL       broker: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883);\n"
    "               default mqtt://localhost\n"
    "  -t PREFIX    topic prefix (default sflogger)\n"
    "  -u USER      user name; the password is taken from SF_MQTT_PASSWORD\n"
    "  --cafile FILE  CA certificate for mqtts (default: the system's CAs)\n"
    "  --cert FILE, --key FILE  client certificate and key for mqtts\n"
    "  --metrics ADDRESS:PORT  serve Prometheus metrics at http://ADDRESS:PORT/metrics\n"
    "               (ADDRESS an IPv4 address; port 0: one the system picks, printed)\n"
    "  -i ID        MQTT client id of the persistent session (default sfcollect-HOSTNAME)\n"
    "  -h, --help   print this and exit\n"
    "  -V, --version  print the version and exit\n";

struct Options {
    BrokerOptions broker;
    MetricsAddress metrics;  // port -1: none
    std::string id;
    std::string dir;
    std::size_t open_logs = 0;  // at most at once
};

// A gateway's new epoch, with what is said and the lines lost, said and
// counted once the store has committed: a gateway whose lines fail then
// starts the epoch again with the batch resent.
struct NewEpoch {
    std::string name;
    std::string line;
    std::uint64_t lost;
};

class Collector {
public:
    explicit Collector(const Options &options)
        : options_(options),
          link_(options.broker),
          store_(options.dir),
          counts_(metrics_.registry()),
          status_(collector_status_topic(options.broker.prefix, options.id)),
          me_(sender_since_now(host_name() + ":" + options.dir)) {}
    int run();

private:
    void on_message(const mosquitto_message &message, const std::string &from);
    void on_batch(const mosquitto_message &message);
    void refuse(const char *reason) { counts_.refused(reason); }
    void ack(const std::string &name, std::uint64_t epoch, std::uint64_t next, const std::string &question);
    void send_ack(const std::string &topic, const std::string &text, bool retain, const PropertyList &properties);
    bool store(const std::string &name, Gateway &gateway, const char *lines, std::size_t size, std::size_t &known,
               std::uint64_t dropped);
    bool finish_pass();
    bool end_sync();
    void send_acks(const std::vector<DueAck> &acks, const std::vector<NewEpoch> &epochs);
    int end_for_link(const std::string &why);
    std::vector<std::string> properties_of(const char *name) const;
    void say_once(const std::string &key, const std::string &line);
    void say_left(const std::string &name, std::uint64_t old, std::uint64_t current);
    void note_new_epoch(const std::string &name, const GatewayState &gateway, std::uint64_t epoch);

    const Options &options_;
    BrokerLink link_;
    GatewayStore store_;
    Metrics metrics_;
    CollectMetrics counts_;
    std::vector<DueAck> acks_;  // due once the store has committed
    // What acks that answer no question carry: built once, not per ack.
    const PropertyList no_question_{{{answers_property, ""}}};
    const PropertyList no_properties_{UserProperties{}};
    std::unordered_map<std::string, AckTopic> ack_topics_;  // at which QoS each gateway's acks go
    std::vector<NewEpoch> epochs_;
    std::string failed_;          // a write that failed: the end
    std::set<std::string> said_;  // topics and names whose batches are dropped
    std::map<std::string, std::chrono::steady_clock::time_point> left_said_;  // by name, when
    std::size_t batches_ = 0;                                                 // come in this pass
    std::size_t bytes_ = 0;                                                   // of their payloads
    std::chrono::steady_clock::time_point pass_start_;                        // its first batch
    // Its own status topic, where it finds out when another collector took
    // its client id: the broker may not say so (mosquitto 2.0.11 closes the
    // connection without a word), and the two would take it from each other
    // in turn.
    std::string status_;
    std::string me_;  // who this collector is to another of its id: "SINCE HOST:DIR"
    bool announced_ = false;
    // The pass being synced while the next one takes batches and appends:
    // its acks and epochs wait for the sync's end.
    Syncer syncer_;
    std::vector<DueAck> synced_acks_;
    std::vector<NewEpoch> synced_epochs_;
    std::chrono::steady_clock::time_point sync_start_;
};

// A pass ends after this many batches or bytes at most, so that acks are not
// held back long, nor too many lines of new files in memory.
const std::size_t max_pass = 4096;
const std::size_t max_pass_bytes = std::size_t{64} << 20;
// A pass taken while the last one syncs ends only once that sync has, and
// takes this many batches at most meanwhile (and max_pass_bytes): some
// 20 MB of acks and states for short batches, so that a slow disk does not
// leave the broker to drop what it queues for us.
const std::size_t max_syncing_pass = 65536;
// How long a pass that starts while none syncs waits for more batches
// before its sync starts; the batches that come during a sync wait for it
// anyway.
constexpr std::chrono::milliseconds pass_grace{1};

// Names that topics choose need not be bounded: past this many, every drop is said.
const std::size_t max_said = 10000;

void Collector::say_once(const std::string &key, const std::string &line) {
    if (said_.count(key) != 0) return;
    if (said_.size() < max_said) said_.insert(key);
    warn("%s", line.c_str());
}

// A batch of an epoch the gateway has left comes from a publisher whose
// state rolled back (a VM snapshot), which the answer makes start a new
// epoch, or from a second gateway publishing under the name, whose lines
// then take turns with the first's. A stale copy from the broker may come
// too, hence said at most once a minute.
void Collector::say_left(const std::string &name, std::uint64_t old, std::uint64_t current) {
    const auto now = std::chrono::steady_clock::now();
    const auto said = left_said_.find(name);
    if (said != left_said_.end() && now - said->second < std::chrono::minutes(1)) return;
    if (said == left_said_.end() && left_said_.size() >= max_said) return;
    left_said_[name] = now;
    warn("%s: a batch of epoch %016" PRIx64 ", left for epoch %016" PRIx64
         ": its publisher is told to start a new one (its state rolled back? two gateways publish as %s?)",
         name.c_str(), old, current, name.c_str());
}

// To be said and counted with the lines the publisher lost at the gateway,
// as the first batch of the epoch tells them.
void Collector::note_new_epoch(const std::string &name, const GatewayState &gateway, std::uint64_t epoch) {
    std::vector<LostRange> told;
    LostRange range;
    for (const std::string &text : properties_of(lost_property))
        if (parse_lost(text, range)) told.push_back(range);
    std::string lost;
    std::uint64_t lines = 0;
    for (const LostRange &missing : lost_from_log(gateway, told)) {
        lost += "; " + describe_lost(missing);
        lines += missing.lines();
    }
    char start[64];
    std::snprintf(start, sizeof start, ": new epoch %016" PRIx64, epoch);
    epochs_.push_back({name, name + start + lost, lines});
}

void Collector::ack(const std::string &name, std::uint64_t epoch, std::uint64_t next, const std::string &question) {
    note_ack(acks_, ack_topic(options_.broker.prefix, name), format_ack(epoch, next), question);
}

std::string taken_message(const std::string &id) { return "another sfcollect is using the client id " + id; }

// Why topic is not one whose batches can be stored, with reason set to a
// word for it, as read_batch does.
std::string topic_problem(const std::string &topic, const std::string &prefix, const char *&reason) {
    const std::string suffix = "/packets";
    const std::size_t middle = prefix.size() + 1;
    if (topic.size() > middle + suffix.size() && topic.compare(0, middle, prefix + "/") == 0 &&
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const std::string name = topic.substr(middle, topic.size() - middle - suffix.size());
        bool letters = name.size() > max_gateway_name;
        for (std::size_t at = 0; letters && at < name.size(); at += max_gateway_name)
            letters = is_gateway_name(name.substr(at, max_gateway_name));
        if (letters) {
            reason = "name_too_long";
            return "gateway name longer than " + std::to_string(max_gateway_name) + " characters";
        }
    }
    reason = "not_packets_topic";
    return "not a gateway's packets topic";
}

// A gateway's retained status, online or offline, is only watched.
void Collector::on_message(const mosquitto_message &message, const std::string &from) {
    if (status_ == message.topic) {
        if (shows_name_taken(from, me_, announced_)) link_.refuse(taken_message(options_.id));
        return;
    }
    std::string name;
    if (!gateway_of(message.topic, options_.broker.prefix, name, "status")) return on_batch(message);
    const std::string said(static_cast<const char *>(message.payload), static_cast<std::size_t>(message.payloadlen));
    if (said == "online" || said == "offline") counts_.status(name, said == "online");
}

void Collector::on_batch(const mosquitto_message &message) {
    if (batches_++ == 0) pass_start_ = std::chrono::steady_clock::now();
    bytes_ += static_cast<std::size_t>(message.payloadlen);
    if (!failed_.empty()) return;
    const std::string topic = message.topic;
    const char *payload = static_cast<const char *>(message.payload);
    const auto size = static_cast<std::size_t>(message.payloadlen);
    std::string name;
    if (!gateway_of(topic, options_.broker.prefix, name)) {
        const char *reason = nullptr;
        const std::string problem = topic_problem(topic, options_.broker.prefix, reason);
        refuse(reason);
        return say_once(topic, topic + ": " + problem + ", dropped");
    }
    BatchView batch;
    const char *reason = nullptr;
    if (const char *what = read_batch(payload, size, batch, &reason)) {
        refuse(reason);
        return warn("%s: %s, dropped", topic.c_str(), what);
    }
    Gateway &gateway = store_.find(name);
    const BatchHead head{batch.epoch, batch.seq, batch.count, message.retain};
    const Decision decision = decide_batch(gateway.state, head, gateway.forgotten);
    if (decision.reason == DropReason::retained) {
        refuse("retained");
        return warn("%s: retained, dropped", topic.c_str());
    }
    // A batch sent again: the publisher did not hear what answered it.
    if (decision.verdict == Verdict::left || decision.verdict == Verdict::ack)
        note_unheard(ack_topics_[ack_topic(options_.broker.prefix, name)]);
    if (decision.verdict == Verdict::left) {
        refuse("left_behind");
        send_ack(ack_topic(options_.broker.prefix, name), format_left(batch.epoch), false, no_properties_);
        return say_left(name, batch.epoch, gateway.state.epoch);
    }
    counts_.duplicates(name, decision.duplicates);
    if (decision.verdict == Verdict::drop) return;
    // sfpublish's question about a gap: the ack that answers it says so.
    const std::vector<std::string> asked = properties_of(question_property);
    const std::string question = asked.empty() ? std::string() : asked.back();
    if (decision.verdict == Verdict::ack) return ack(name, decision.ack_epoch, decision.ack_next, question);
    // The lines the log has already are passed over; read_batch found them all whole and well formed.
    std::size_t from = 0;
    const char *what = nullptr;
    for (std::uint64_t skip = decision.skip; skip > 0; --skip) walk_log_line(batch.lines, batch.size, from, what);
    std::size_t known = 0;  // bytes of lines found in the log's unsure bytes
    if (!store(name, gateway, batch.lines + from, batch.size - from, known, epoch_dropped(gateway.state, decision)))
        return;
    const char *lines = batch.lines + from;
    const auto found = static_cast<std::uint64_t>(std::count(lines, lines + known, '\n'));
    counts_.duplicates(name, found);
    counts_.appended(name, batch.count - decision.skip - found, batch.size - from - known, batch.last_micros);
    if (decision.verdict == Verdict::start_append) note_new_epoch(name, gateway.state, batch.epoch);
    apply_decision(gateway.state, head, decision);
    ack(name, decision.ack_epoch, decision.ack_next, question);
}

// A gateway's file failed: its batches wait, longer each time, and the
// failure is said when it is not the one said last.
void fault(const std::string &name, Gateway &gateway, const std::string &error) {
    ++gateway.failures;
    gateway.retry_at = std::chrono::steady_clock::now() + retry_delay(gateway.failures);
    if (error != gateway.fault) warn("%s", waiting_note(name, error).c_str());
    gateway.fault = error;
}

// Appends the lines to the gateway's log, or leaves the batch unacknowledged
// when its file fails: said once, tried again after a wait that grows. The
// epoch dropped from the list of those it left is kept apart first.
bool Collector::store(const std::string &name, Gateway &gateway, const char *lines, std::size_t size,
                      std::size_t &known, std::uint64_t dropped) {
    if (!gateway.fault.empty() && std::chrono::steady_clock::now() < gateway.retry_at) {
        refuse("cannot_store");
        return false;
    }
    // A pass holds its logs open until it ends: past the limit, it ends early.
    if (gateway.fd < 0 && store_.open_logs() >= options_.open_logs && !finish_pass()) return false;
    Failure failure = Failure::file;
    std::string error;
    const auto put = [&] {
        return store_.forget(name, gateway, dropped, failure, error) &&
               store_.append(name, gateway, lines, size, known, failure, error);
    };
    bool stored = put();
    // Descriptors of others than the logs ran out: the pass's are freed.
    if (!stored && failure == Failure::descriptors && store_.pending() && finish_pass()) stored = put();
    if (stored) {
        if (!gateway.fault.empty()) warn("%s: %s takes its lines again", name.c_str(), store_.log_path(name).c_str());
        gateway.fault.clear();
        gateway.failures = 0;
        return true;
    }
    if (failure == Failure::disk) {
        failed_ = error;
    } else {
        refuse("cannot_store");
        fault(name, gateway, error);
    }
    return false;
}

std::vector<std::string> Collector::properties_of(const char *name) const { return link_.properties_of(name); }

// At QoS 1 each ack was a sixth of the broker's work at 10,000 gateways
// (bench/fleet.sh); the rule is choose_ack_qos's.
void Collector::send_ack(const std::string &topic, const std::string &text, bool retain,
                         const PropertyList &properties) {
    AckTopic &sent = ack_topics_[topic];
    const int qos = choose_ack_qos(sent, link_.hears_refusals(), link_.next_id_taken());
    const bool out = qos == 0 ? link_.publish_unconfirmed(topic, text.data(), text.size(), retain, properties)
                              : link_.publish(topic, text.data(), text.size(), retain, properties);
    if (out) note_ack_sent(sent, qos);
}

// Ends for a link that failed, once what the broker delivered is stored
// (the broker keeps none of it), saying why last; 3 when the store fails.
int Collector::end_for_link(const std::string &why) {
    const bool stored = finish_pass() && end_sync();
    warn("%s", why.c_str());
    if (stored) return 1;
    warn("%s", failed_.c_str());
    return 3;
}

// Says the new epochs and sends the acks of a pass whose lines are durable.
void Collector::send_acks(const std::vector<DueAck> &acks, const std::vector<NewEpoch> &epochs) {
    for (const NewEpoch &epoch : epochs) {
        counts_.started_epoch(epoch.name, epoch.lost);
        warn("%s", epoch.line.c_str());
    }
    for (const DueAck &due : acks) {
        if (due.answers.empty())
            send_ack(due.topic, due.text, true, no_question_);
        else
            send_ack(due.topic, due.text, true, PropertyList({{answers_property, due.answers}}));
    }
}

// Waits for the sync of the last pass, if any, and sends its acks; false,
// with failed_ set, when the store cannot go on.
bool Collector::end_sync() {
    if (!syncer_.busy()) return failed_.empty();
    std::string error;
    if (!syncer_.wait(error)) {
        if (failed_.empty()) failed_ = error;
        return false;
    }
    store_.end_sealed();
    counts_.committed(std::chrono::duration<double>(std::chrono::steady_clock::now() - sync_start_).count());
    send_acks(synced_acks_, synced_epochs_);
    synced_acks_.clear();
    synced_epochs_.clear();
    return failed_.empty();
}

// Ends the pass: once the last one's sync has ended, its appends are sealed
// and synced on the syncer's thread, their acks sent once that has ended;
// acks of a pass that appended nothing go at once. False, with failed_ set,
// when the store cannot go on.
bool Collector::finish_pass() {
    if (!end_sync()) return false;
    if (!store_.pending()) {
        send_acks(acks_, epochs_);
        acks_.clear();
        epochs_.clear();
        return true;
    }
    sync_start_ = std::chrono::steady_clock::now();
    std::vector<Unstored> unstored;
    std::string error;
    if (!store_.seal(unstored, error)) {
        failed_ = error;
        return false;
    }
    for (const Unstored &lost : unstored) {
        // Its lines of the pass are not in the log after all: nothing of them is acknowledged.
        Gateway &gateway = store_.find(lost.name);
        gateway.state = gateway.record.state;
        const std::string topic = ack_topic(options_.broker.prefix, lost.name);
        acks_.erase(std::remove_if(acks_.begin(), acks_.end(), [&](const DueAck &due) { return due.topic == topic; }),
                    acks_.end());
        fault(lost.name, gateway, lost.error);
        epochs_.erase(std::remove_if(epochs_.begin(), epochs_.end(),
                                     [&](const NewEpoch &epoch) { return epoch.name == lost.name; }),
                      epochs_.end());
    }
    synced_acks_.swap(acks_);
    synced_epochs_.swap(epochs_);
    syncer_.run([this](std::string &failure) { return store_.sync_sealed(failure); });
    return true;
}

int Collector::run() {
    std::string error;
    if (!store_.lock(error) || !metrics_.serve(options_.metrics, error)) {
        warn("%s", error.c_str());
        return 1;
    }
    std::vector<std::string> notes;
    const bool recovered = store_.recover(notes, error);
    for (const std::string &note : notes) warn("%s", note.c_str());
    if (!recovered) {
        warn("%s", error.c_str());
        return 3;
    }
    const std::string packets = options_.broker.prefix + "/+/packets";
    // Its status is read before it is written, as sfpublish does its own;
    // not required, so that an ACL of before it keeps working, without the check.
    link_.on_up = [this, packets] {
        counts_.connected(true);
        for (auto &topic : ack_topics_) note_reconnected(topic.second);
        if (!status_.empty()) link_.subscribe(status_, false);
        link_.subscribe(packets);
        link_.subscribe(options_.broker.prefix + "/+/status", false);  // only for the metrics
    };
    link_.on_subscribed = [this, packets](const std::string &filter) {
        if (filter == packets && !status_.empty() && link_.publish(status_, "online", 6, true, me_, {}, false))
            announced_ = true;
    };
    link_.on_down = [this] { counts_.connected(false); };
    link_.on_settled = [this](const std::string &topic, bool taken) {
        const auto sent = ack_topics_.find(topic);
        if (sent != ack_topics_.end()) note_ack_settled(sent->second, taken);
    };
    link_.on_message = [this](const mosquitto_message &message, const std::string &from) { on_message(message, from); };
    // A pass's worth of batches in flight to it: with libmosquitto's default
    // of 20, mosquitto at its defaults queues 1,000 more and drops the rest,
    // which the gateways send again only after their patience, and the
    // copies add to the load.
    const int in_flight = static_cast<int>(max_pass);
    if (!link_.open({options_.id, false, "", "", "", taken_message(options_.id), in_flight}, error)) {
        warn("%s", error.c_str());
        return 1;
    }
    if (!syncer_.start(error)) {
        warn("%s", error.c_str());
        return 1;
    }
    while (!stop_requested()) {
        // A pass taken while the last one syncs goes on until that sync has
        // ended, then syncs at once: its batches have waited as long as it
        // took. One that starts while none syncs waits pass_grace for more.
        const bool syncing = syncer_.busy();
        const auto full = [this, syncing] {
            return batches_ >= (syncing ? max_syncing_pass : max_pass) || bytes_ >= max_pass_bytes;
        };
        const bool blocked = syncing && full();  // the broker holds what comes meanwhile
        bool ready = false;
        if (!blocked) {
            const auto wait = batches_ > 0 && !syncing ? pass_grace : std::chrono::milliseconds(1000);
            if (!link_.turn(syncing ? syncer_.done_fd() : -1, wait, ready, error)) return end_for_link(error);
        }
        // A pass that ended early in the turn (at the open-files limit) may have ended that sync and started another.
        const bool ended = syncer_.busy() && (blocked || (ready && syncer_.ended()));
        if (ended && !end_sync()) break;
        if (batches_ == 0 || syncer_.busy()) continue;
        if (!ended && !full() && std::chrono::steady_clock::now() - pass_start_ < pass_grace) continue;
        batches_ = 0;
        bytes_ = 0;
        if (!finish_pass()) break;
    }
    if (!finish_pass() || !end_sync()) {
        warn("%s", failed_.c_str());
        return 3;
    }
    // A message of another collector of its id, taken during the last pass.
    if (link_.refused()) {
        warn("%s", link_.refusal().c_str());
        return 1;
    }
    if (!status_.empty()) link_.publish(status_, "offline", 7, true, me_, {}, false);
    link_.close_cleanly();
    return 0;
}

// True to go on; false with the exit status set.
bool parse_options(int argc, char **argv, Options &options, int &status) {
    const FleetCommand command{"sfcollect", "i:", 1, usage, help};
    const auto take = [&](int option, const char *arg) {
        if (option == 'i') options.id = arg;
        return option == 'i';
    };
    if (!parse_fleet_options(argc, argv, command, options.broker, options.metrics, take, status)) return false;
    options.dir = argv[optind];
    if (options.id.empty()) options.id = "sfcollect-" + host_name();
    return true;
}

// Raises the soft limit of open files to the hard one, since each gateway's
// log of a pass is open until the pass ends; returns the soft limit.
std::uint64_t raise_open_files_limit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        const struct rlimit raised = {limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit.rlim_cur = limit.rlim_max;
    }
    return limit.rlim_cur;
}

}  // namespace

int main(int argc, char **argv) {
    set_program_name("sfcollect");
    open_std_fds();
    ignore_sigpipe();
    // A log at the file size limit fails its write, a fault of that gateway alone, instead of ending the collector.
    std::signal(SIGXFSZ, SIG_IGN);
    Options options;
    int status = 0;
    if (!parse_options(argc, argv, options, status)) return status;
    struct stat info {};
    const bool found = stat(options.dir.c_str(), &info) == 0;
    if (!found || !S_ISDIR(info.st_mode)) {
        warn("%s: %s", options.dir.c_str(), found ? "not a folder" : std::strerror(errno));
        return 1;
    }
    options.open_logs = logs_open_at_most(raise_open_files_limit());
    catch_stop_signals();
    return Collector(options).run();
}
