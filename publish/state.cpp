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

bool parse_position(const std::vector<std::string> &words, PublishState &state) {
    unsigned long long numbers[5] = {};
    bool fits = words.size() == 6 && parse_epoch(words[0], state.epoch) && state.epoch != 0;
    for (std::size_t i = 1; fits && i < 6; ++i) fits = parse_number(words[i].c_str(), LLONG_MAX, numbers[i - 1]);
    if (!fits || numbers[0] == 0) return false;
    Position &at = state.acked;
    at.seq = numbers[0];
    at.dev = static_cast<dev_t>(numbers[1]);
    at.ino = static_cast<ino_t>(numbers[2]);
    at.offset = static_cast<off_t>(numbers[3]);
    at.line = numbers[4];
    return true;
}

bool parse_mark(const std::vector<std::string> &words, FileMark &mark) {
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    std::uint64_t print = 0;
    const bool fits = words.size() == 5 && words[0] == "file" && parse_number(words[1].c_str(), ULLONG_MAX, dev) &&
                      parse_number(words[2].c_str(), ULLONG_MAX, ino) && parse_epoch(words[3], print) &&
                      parse_signed(words[4], mark.first);
    mark.dev = static_cast<dev_t>(dev);
    mark.ino = static_cast<ino_t>(ino);
    mark.print = print;
    return fits;
}

}  // namespace

bool parse_state(const std::string &text, PublishState &state, std::string &error) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    bool fits = parse_position(words_of(line), state);
    state.files.clear();
    while (fits && std::getline(lines, line)) {
        FileMark mark;
        fits = parse_mark(words_of(line), mark);
        state.files.push_back(mark);
    }
    if (!fits) error = "not a state file of sfpublish";
    return fits;
}

std::string format_state(const PublishState &state) {
    char text[160];
    const Position &at = state.acked;
    std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64 " %llu %llu %lld %" PRIu64 "\n", state.epoch, at.seq,
                  static_cast<unsigned long long>(at.dev), static_cast<unsigned long long>(at.ino),
                  static_cast<long long>(at.offset), at.line);
    std::string out = text;
    for (const FileMark &mark : state.files) {
        std::snprintf(text, sizeof text, "file %llu %llu %016" PRIx64 " %" PRId64 "\n",
                      static_cast<unsigned long long>(mark.dev), static_cast<unsigned long long>(mark.ino), mark.print,
                      mark.first);
        out += text;
    }
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
