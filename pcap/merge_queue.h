#ifndef SF_PCAP_MERGE_QUEUE_H
#define SF_PCAP_MERGE_QUEUE_H

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

// The order in which records of many logs are merged, as mergecap merges:
// the next record out is the earliest of each log's next one, ties going to
// the log named first. Only each log's next record is in the queue, so a log's
// own records keep their order even where its clock stepped backwards.
//
// A tree of losers: a record replaced costs one comparison per level, where
// a heap's sift takes two.
class MergeQueue {
public:
    // A log with no more records.
    static constexpr long long ended = std::numeric_limits<long long>::max();

    // Logs 0 to firsts.size() - 1, with the times of their first records.
    explicit MergeQueue(const std::vector<long long> &firsts);
    bool empty() const { return heads_.empty() || heads_[winner_] == ended; }
    // The log whose record goes out next.
    std::size_t top() const { return winner_; }
    // The top log's next record, in place of the one that went out; ended
    // when there is none.
    void replace_top(long long micros);

private:
    bool before(std::size_t a, std::size_t b) const { return heads_[a] != heads_[b] ? heads_[a] < heads_[b] : a < b; }
    std::vector<long long> heads_;     // each log's next record
    std::vector<std::size_t> losers_;  // of the match at each inner node, 1 to size - 1
    std::size_t winner_ = 0;
};

// The interface a log is shown as: NAME for NAME.log, else the file's name.
std::string interface_name(const std::string &path);

#endif
