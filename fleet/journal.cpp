#include "journal.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <vector>

#include "contract.h"
#include "numbers.h"
#include "record_file.h"

const char journal_head[] = "sfcollect journal 1";

namespace {

// FNV-1a: enough to tell a torn or garbled line from a whole one.
std::uint32_t check_of(const std::string &text, std::size_t size) {
    std::uint32_t hash = 2166136261U;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619U;
    return hash;
}

// "EPOCH NEXT DEV INO SIZE [LEFT...] [@PRINT] [~UNSURE]" from words[first] on.
bool decode_words(const std::vector<std::string> &words, std::size_t first, GatewayRecord &record) {
    record.unsure = 0;
    record.print = 0;
    std::size_t end = words.size();
    if (end > 0 && words[end - 1].size() > 1 && words[end - 1][0] == '~') {
        unsigned long long unsure = 0;
        if (!parse_number(words[end - 1].c_str() + 1, LLONG_MAX, unsure) || unsure == 0) return false;
        record.unsure = unsure;
        --end;
    }
    if (end > 0 && words[end - 1].size() > 1 && words[end - 1][0] == '@') {
        if (!parse_epoch(words[end - 1].substr(1), record.print) || record.print == 0) return false;
        --end;
    }
    if (end < first + 5 || end > first + 5 + max_left_epochs) return false;
    unsigned long long numbers[4] = {};
    if (!parse_epoch(words[first], record.state.epoch)) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (!parse_number(words[first + 1 + i].c_str(), i == 3 ? LLONG_MAX : ULLONG_MAX, numbers[i])) return false;
    if (numbers[0] == 0) return false;
    record.state.next = numbers[0];
    record.dev = numbers[1];
    record.ino = numbers[2];
    record.size = numbers[3];
    record.state.left.clear();
    for (std::size_t i = first + 5; i < end; ++i) {
        std::uint64_t old = 0;
        if (!parse_epoch(words[i], old)) return false;
        record.state.left.push_back(old);
    }
    return record.unsure <= record.size;
}

}  // namespace

std::string encode_entry(const std::string &name, const GatewayRecord &record) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, " %016" PRIx64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64,
                  record.state.epoch, record.state.next, record.dev, record.ino, record.size);
    std::string line = name + numbers;
    for (const std::uint64_t old : record.state.left) {
        char epoch[24];
        std::snprintf(epoch, sizeof epoch, " %016" PRIx64, old);
        line += epoch;
    }
    if (record.print != 0) {
        char print[24];
        std::snprintf(print, sizeof print, " @%016" PRIx64, record.print);
        line += print;
    }
    if (record.unsure > 0) line += " ~" + std::to_string(record.unsure);
    char check[16];
    std::snprintf(check, sizeof check, " %08" PRIx32 "\n", check_of(line, line.size()));
    return line + check;
}

bool decode_entry(const std::string &line, std::string &name, GatewayRecord &record) {
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string::npos || line.size() - blank != 9) return false;
    char check[16];
    std::snprintf(check, sizeof check, "%08" PRIx32, check_of(line, blank));
    if (line.compare(blank + 1, std::string::npos, check) != 0) return false;
    const std::vector<std::string> words = words_of(line.substr(0, blank));
    if (words.empty() || !is_gateway_name(words[0])) return false;
    name = words[0];
    return decode_words(words, 1, record);
}

bool replay_journal(const std::string &text, JournalReplay &replay) {
    replay = JournalReplay();
    const std::string head = std::string(journal_head) + "\n";
    if (text.compare(0, head.size(), head) != 0) return false;
    std::map<std::string, std::size_t> last;  // each gateway's last entry's line
    std::size_t number = 1;
    for (std::size_t at = head.size(); at < text.size(); ++number) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            replay.torn = true;
            break;
        }
        std::string name;
        GatewayRecord record;
        if (decode_entry(text.substr(at, end - at), name, record)) {
            replay.records[name] = record;
            last[name] = number + 1;
            ++replay.entries;
        } else {
            replay.damaged.push_back(number + 1);
            const std::vector<std::string> words = words_of(text.substr(at, end - at));
            if (!words.empty() && is_gateway_name(words[0])) replay.damaged_names[words[0]] = number + 1;
        }
        at = end + 1;
    }
    if (replay.damaged.empty()) return true;
    for (const auto &entry : last)
        if (entry.second < replay.damaged.back()) replay.uncertain.insert(entry.first);
    return true;
}

void take_older_records(const JournalReplay &older, JournalReplay &replay, std::vector<std::string> &taken) {
    if (replay.damaged.empty()) return;
    for (const auto &entry : older.records) {
        if (!replay.records.emplace(entry.first, entry.second).second) continue;
        replay.uncertain.insert(entry.first);
        taken.push_back(entry.first);
    }
}

std::string compact_journal(const std::map<std::string, GatewayRecord> &records) {
    std::string text = std::string(journal_head) + "\n";
    for (const auto &entry : records) text += encode_entry(entry.first, entry.second);
    return text;
}

bool should_compact(std::size_t entries, std::size_t gateways) {
    // Each compaction costs two syncs more than a pass: rare, with a journal
    // of a few MB at most to read at start.
    return entries > 65536 && entries > 8 * gateways;
}

std::string encode_left(const std::string &name, std::uint64_t epoch) {
    char text[24];
    std::snprintf(text, sizeof text, " %016" PRIx64 "\n", epoch);
    return name + text;
}

void replay_left(const std::string &text, LeftReplay &replay) {
    replay = LeftReplay();
    std::size_t number = 1;
    for (std::size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++number) {
        replay.whole = end + 1;
        const std::vector<std::string> words = words_of(text.substr(at, end - at));
        std::uint64_t epoch = 0;
        if (words.size() == 2 && is_gateway_name(words[0]) && parse_epoch(words[1], epoch) && epoch != 0)
            replay.epochs[words[0]].insert(epoch);
        else
            replay.damaged.push_back(number);
    }
}

bool decode_old_record(const std::string &text, GatewayRecord &record) {
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || end + 1 != text.size()) return false;
    return decode_words(words_of(text.substr(0, end)), 0, record);
}
