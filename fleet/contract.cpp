#include "contract.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "numbers.h"
#include "packet_log.h"

namespace {

const char magic[] = "sflog1 ";

// Exactly 16 lowercase hex digits at at, as EPOCH is written.
bool read_epoch(const char *&at, const char *end, std::uint64_t &epoch) {
    unsigned long long value = 0;
    if (end - at < 16 || !parse_hex64(at, at + 16, value)) return false;
    at += 16;
    epoch = value;
    return true;
}

// A decimal number from 1 up, without leading zeros or sign.
bool read_count(const char *&at, const char *end, std::uint64_t &count) {
    const char *start = at;
    while (at < end && *at >= '0' && *at <= '9') ++at;
    unsigned long long value = 0;
    if (at == start || *start == '0' || !parse_decimal(start, at, UINT64_MAX, value)) return false;
    count = value;
    return true;
}

}  // namespace

bool is_gateway_name(const std::string &name) {
    if (name.empty() || name.size() > max_gateway_name || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

std::string gateway_name_rule(const std::string &name) {
    const std::string rule = "1 to " + std::to_string(max_gateway_name) + " letters, digits, '.', '_', '-'";
    return name == "." || name == ".." ? "'.' and '..' name folders; " + rule : rule;
}

std::string packets_topic(const std::string &prefix, const std::string &name) {
    return prefix + "/" + name + "/packets";
}
std::string ack_topic(const std::string &prefix, const std::string &name) { return prefix + "/" + name + "/ack"; }
std::string status_topic(const std::string &prefix, const std::string &name) { return prefix + "/" + name + "/status"; }

bool gateway_of(const std::string &topic, const std::string &prefix, std::string &name, const char *kind) {
    const std::string suffix = std::string("/") + kind;
    if (topic.size() <= prefix.size() + 1 + suffix.size() || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/' || topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    name = topic.substr(prefix.size() + 1, topic.size() - prefix.size() - 1 - suffix.size());
    return is_gateway_name(name);
}

std::string format_header(std::uint64_t epoch, std::uint64_t seq) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "sflog1 %016" PRIx64 " %" PRIu64 "\n", epoch, seq);
    return std::string(text, static_cast<std::size_t>(n));
}

std::size_t parse_header(const char *payload, std::size_t size, std::uint64_t &epoch, std::uint64_t &seq) {
    const char *at = payload;
    const char *end = payload + size;
    const std::size_t magic_size = sizeof magic - 1;
    if (size < magic_size || std::memcmp(at, magic, magic_size) != 0) return 0;
    at += magic_size;
    if (!read_epoch(at, end, epoch) || at == end || *at++ != ' ' || !read_count(at, end, seq) || at == end ||
        *at++ != '\n')
        return 0;
    return static_cast<std::size_t>(at - payload);
}

const char *read_batch(const char *payload, std::size_t size, BatchView &batch, const char **reason) {
    const auto refuse = [reason](const char *word, const char *what) {
        if (reason != nullptr) *reason = word;
        return what;
    };
    if (size > max_payload) return refuse("too_large", "payload larger than 256 KiB");
    const std::size_t header = parse_header(payload, size, batch.epoch, batch.seq);
    if (header == 0) return refuse("no_header", "no \"sflog1 EPOCH SEQ\" header");
    batch.lines = payload + header;
    batch.size = size - header;
    batch.count = 0;
    LogPacket packet;
    for (std::size_t at = 0; at < batch.size; ++batch.count)
        if (const char *what = read_log_line(batch.lines, batch.size, at, packet))
            return refuse("malformed_line", what);
    if (batch.count == 0) return refuse("no_lines", "no lines");
    batch.last_micros = packet.micros;
    return nullptr;
}

std::string format_ack(std::uint64_t epoch, std::uint64_t next) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64, epoch, next);
    return std::string(text, static_cast<std::size_t>(n));
}

bool parse_ack(const char *payload, std::size_t size, std::uint64_t &epoch, std::uint64_t &next) {
    const char *at = payload;
    const char *end = payload + size;
    if (size > 0 && payload[size - 1] == '\n') --end;  // as a line, from a shell's mosquitto_pub
    return read_epoch(at, end, epoch) && at != end && *at++ == ' ' && read_count(at, end, next) && at == end;
}

std::string format_left(std::uint64_t epoch) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%016" PRIx64 " left", epoch);
    return std::string(text, static_cast<std::size_t>(n));
}

bool parse_left(const char *payload, std::size_t size, std::uint64_t &epoch) {
    const char *at = payload;
    const char *end = payload + size;
    if (size > 0 && payload[size - 1] == '\n') --end;
    return read_epoch(at, end, epoch) && end - at == 5 && std::memcmp(at, " left", 5) == 0;
}

namespace {

// "SINCE WHO" into its two parts; false when it is not that.
bool read_sender(const std::string &from, std::uint64_t &since, std::string &who) {
    const std::size_t space = from.find(' ');
    if (space == std::string::npos || space + 1 == from.size()) return false;
    const char *end = from.c_str() + space;
    const char *at = from.c_str();
    if (!read_count(at, end, since) || at != end) return false;
    who = from.substr(space + 1);
    return true;
}

}  // namespace

bool shows_name_taken(const std::string &from, const std::string &me, bool announced) {
    std::uint64_t their_since = 0;
    std::uint64_t my_since = 0;
    std::string them;
    std::string mine;
    if (!announced || !read_sender(from, their_since, them) || !read_sender(me, my_since, mine) || them == mine)
        return false;
    return std::make_pair(their_since, them) > std::make_pair(my_since, mine);
}

std::string sender_since_now(const std::string &who) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + " " + who;
}

std::string collector_status_topic(const std::string &prefix, const std::string &id) {
    if (id.empty() || id.find_first_of("/+#") != std::string::npos) return "";
    return prefix + "/collector/" + id + "/status";
}
