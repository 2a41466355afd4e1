#include "state.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <vector>

#include <sys/random.h>
#include <unistd.h>

#include "contract.h"
#include "numbers.h"
#include "record_file.h"

bool load_state(const std::string &path, PublishState &state, bool &found, std::string &error) {
    std::string text;
    if (!read_record_file(path, text, found, error) || !found) return found == false && error.empty();
    const std::vector<std::string> words = words_of(text.substr(0, text.find('\n')));
    unsigned long long numbers[5] = {};
    bool fits = words.size() == 6 && parse_epoch(words[0], state.epoch) && state.epoch != 0;
    for (std::size_t i = 1; fits && i < 6; ++i) fits = parse_number(words[i].c_str(), LLONG_MAX, numbers[i - 1]);
    if (!fits || numbers[0] == 0) {
        error = path + ": not a state file of sfpublish";
        return false;
    }
    Position &at = state.acked;
    at.seq = numbers[0];
    at.dev = static_cast<dev_t>(numbers[1]);
    at.ino = static_cast<ino_t>(numbers[2]);
    at.offset = static_cast<off_t>(numbers[3]);
    at.line = numbers[4];
    return true;
}

bool save_state(const std::string &path, const PublishState &state, std::string &error) {
    char text[160];
    const Position &at = state.acked;
    const int n = std::snprintf(text, sizeof text, "%016" PRIx64 " %" PRIu64 " %llu %llu %lld %" PRIu64 "\n",
                                state.epoch, at.seq, static_cast<unsigned long long>(at.dev),
                                static_cast<unsigned long long>(at.ino), static_cast<long long>(at.offset), at.line);
    return replace_durably(path, std::string(text, static_cast<std::size_t>(n)), error);
}

std::uint64_t draw_epoch() {
    std::uint64_t epoch = 0;
    while (epoch == 0)
        if (getrandom(&epoch, sizeof epoch, 0) != static_cast<ssize_t>(sizeof epoch)) epoch = 0;
    return epoch;
}
