#include "state.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <sstream>

#include <sys/random.h>

#include "numbers.h"
#include "record_file.h"

namespace {

bool parse_signed(const std::string &word, std::int64_t &value) {
    const bool negative = !word.empty() && word[0] == '-';
    unsigned long long magnitude = 0;
    if (!parse_number(word.c_str() + (negative ? 1 : 0), LLONG_MAX, magnitude)) return false;
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

// Device and inode, as the older form named a file by.
struct Identity {
    unsigned long long dev = 0;
    unsigned long long ino = 0;
};

// "EPOCH SEQ PRINT OFFSET LINE", or the older "EPOCH SEQ DEV INO OFFSET LINE".
bool parse_position(const std::vector<std::string> &words, PublishState &state, Identity &old) {
    const bool older = words.size() == 6;
    if ((words.size() != 5 && !older) || !parse_epoch(words[0], state.epoch) || state.epoch == 0) return false;
    Position &at = state.acked;
    unsigned long long seq = 0;
    unsigned long long offset = 0;
    unsigned long long line = 0;
    bool fits = parse_number(words[1].c_str(), LLONG_MAX, seq) && seq != 0;
    if (older)
        fits = fits && parse_number(words[2].c_str(), ULLONG_MAX, old.dev) &&
               parse_number(words[3].c_str(), ULLONG_MAX, old.ino);
    else
        fits = fits && parse_epoch(words[2], at.print);
    const std::size_t rest = older ? 4 : 3;
    fits = fits && parse_number(words[rest].c_str(), LLONG_MAX, offset) &&
           parse_number(words[rest + 1].c_str(), LLONG_MAX, line);
    at.seq = seq;
    at.line = line;
    at.offset = static_cast<off_t>(offset);
    return fits;
}

// "file PRINT FIRST", or the older "file DEV INO PRINT FIRST".
bool parse_mark(const std::vector<std::string> &words, bool older, FileMark &mark, Identity &id) {
    if (words.size() != (older ? 5U : 3U) || words[0] != "file") return false;
    if (older &&
        (!parse_number(words[1].c_str(), ULLONG_MAX, id.dev) || !parse_number(words[2].c_str(), ULLONG_MAX, id.ino)))
        return false;
    return parse_epoch(words[older ? 3 : 1], mark.print) && parse_signed(words[older ? 4 : 2], mark.first);
}

// "numbers GIVEN RESERVED", with the place where GIVEN ends: "PRINT OFFSET".
bool parse_numbers(const std::vector<std::string> &words, Numbers &numbers) {
    unsigned long long given = 0;
    unsigned long long reserved = 0;
    unsigned long long offset = 0;
    std::uint64_t print = 0;
    const bool placed = words.size() == 5;
    if ((words.size() != 3 && !placed) || words[0] != "numbers" || !parse_number(words[1].c_str(), LLONG_MAX, given) ||
        !parse_number(words[2].c_str(), LLONG_MAX, reserved) || given > reserved)
        return false;
    if (placed && (!parse_epoch(words[3], print) || print == 0 || !parse_number(words[4].c_str(), LLONG_MAX, offset)))
        return false;
    numbers = {given, reserved, print, static_cast<off_t>(offset)};
    return true;
}

// "cut PRINT OFFSET LINE SEQ HIGH": the lines kept end before SEQ, and
// numbers up to HIGH went out, so HIGH is past SEQ.
bool parse_cut(const std::vector<std::string> &words, Cut &cut) {
    unsigned long long offset = 0;
    unsigned long long line = 0;
    unsigned long long seq = 0;
    unsigned long long high = 0;
    if (words.size() != 6 || !parse_epoch(words[1], cut.at.print) || cut.at.print == 0 ||
        !parse_number(words[2].c_str(), LLONG_MAX, offset) || !parse_number(words[3].c_str(), LLONG_MAX, line) ||
        !parse_number(words[4].c_str(), LLONG_MAX, seq) || !parse_number(words[5].c_str(), LLONG_MAX, high) ||
        seq == 0 || high < seq)
        return false;
    cut.at.offset = static_cast<off_t>(offset);
    cut.at.line = line;
    cut.at.seq = seq;
    cut.high = high;
    return true;
}

}  // namespace

bool parse_state(const std::string &text, PublishState &state, std::string &error) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    state.acked = Position{};
    Identity at;
    bool fits = parse_position(words_of(line), state, at);
    const bool older = fits && words_of(line).size() == 6;
    bool placed = !older;
    state.files.clear();
    state.numbers = Numbers{};
    state.cut = Cut{};
    state.lost.clear();
    enum { files, numbers, cut, lost } part = files;  // in this order, each but the first at will
    while (fits && std::getline(lines, line)) {
        FileMark mark;
        Identity id;
        const std::vector<std::string> words = words_of(line);
        const std::string kind = words.empty() || older ? "" : words[0];
        if (kind == "numbers" && part == files) {
            fits = parse_numbers(words, state.numbers);
            part = numbers;
            continue;
        }
        if (kind == "cut" && part < cut) {
            fits = parse_cut(words, state.cut);
            part = cut;
            continue;
        }
        if (kind == "lost") {
            LostRange range;
            fits = parse_lost(line.substr(line.find(' ') + 1), range);
            state.lost.push_back(range);
            part = lost;
            continue;
        }
        fits = part == files && parse_mark(words, older, mark, id);
        if (older && id.dev == at.dev && id.ino == at.ino) {
            state.acked.print = mark.print;
            placed = true;
        }
        state.files.push_back(mark);
    }
    if (!fits) {
        error = "not a state file of sfpublish";
        return false;
    }
    // An older place whose file has no mark is taken as the log's start, as it then was for a file not yet marked.
    if (!placed) state.acked = Position{0, 0, 0, state.acked.seq};
    return true;
}

std::string format_state(const PublishState &state) {
    char text[160];
    const Position &at = state.acked;
    std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64 " %016" PRIx64 " %lld %" PRIu64 "\n", state.epoch,
                  at.seq, at.print, static_cast<long long>(at.offset), at.line);
    std::string out = text;
    for (const FileMark &mark : state.files) {
        std::snprintf(text, sizeof text, "file %016" PRIx64 " %" PRId64 "\n", mark.print, mark.first);
        out += text;
    }
    if (state.numbers.reserved != 0) {
        const Numbers &numbers = state.numbers;
        std::snprintf(text, sizeof text, "numbers %" PRIu64 " %" PRIu64, numbers.given, numbers.reserved);
        out += text;
        if (numbers.print != 0) {
            std::snprintf(text, sizeof text, " %016" PRIx64 " %lld", numbers.print,
                          static_cast<long long>(numbers.offset));
            out += text;
        }
        out += "\n";
    }
    if (const Cut &cut = state.cut; cut.at.print != 0) {
        std::snprintf(text, sizeof text, "cut %016" PRIx64 " %lld %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", cut.at.print,
                      static_cast<long long>(cut.at.offset), cut.at.line, cut.at.seq, cut.high);
        out += text;
    }
    for (const LostRange &range : state.lost) out += "lost " + format_lost(range) + "\n";
    return out;
}

bool load_state(const std::string &path, PublishState &state, bool &found, std::string &error) {
    std::string text;
    if (!read_record_file(path, text, found, error)) return false;
    if (!found) return true;
    if (parse_state(text, state, error)) return true;
    error = path + ": " + error;
    return false;
}

bool save_state(const std::string &path, const PublishState &state, std::string &error) {
    return replace_durably(path, format_state(state), error);
}

std::uint64_t draw_epoch() {
    std::uint64_t epoch = 0;
    while (epoch == 0)
        if (getrandom(&epoch, sizeof epoch, 0) != static_cast<ssize_t>(sizeof epoch)) epoch = 0;
    return epoch;
}
