#include "merge_queue.h"

#include <utility>

// Leaves are nodes size to 2 size - 1, node n's parent is n / 2: the shape of
// a heap, for any number of logs.
MergeQueue::MergeQueue(const std::vector<long long> &firsts) : heads_(firsts), losers_(firsts.size()) {
    const std::size_t size = heads_.size();
    std::vector<std::size_t> winners(2 * size);
    for (std::size_t log = 0; log < size; ++log) winners[size + log] = log;
    for (std::size_t node = size - 1; node >= 1 && node < size; --node) {
        const std::size_t a = winners[2 * node];
        const std::size_t b = winners[2 * node + 1];
        winners[node] = before(a, b) ? a : b;
        losers_[node] = before(a, b) ? b : a;
    }
    winner_ = size > 1 ? winners[1] : 0;
}

void MergeQueue::replace_top(long long micros) {
    std::size_t winner = winner_;
    heads_[winner] = micros;
    for (std::size_t node = (winner + heads_.size()) / 2; node > 0; node /= 2)
        if (before(losers_[node], winner)) std::swap(losers_[node], winner);
    winner_ = winner;
}

std::string interface_name(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t suffix = name.size() > 4 ? name.size() - 4 : 0;
    if (suffix > 0 && name.compare(suffix, 4, ".log") == 0) name.erase(suffix);
    return name;
}
