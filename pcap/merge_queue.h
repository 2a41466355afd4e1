#ifndef SF_PCAP_MERGE_QUEUE_H
#define SF_PCAP_MERGE_QUEUE_H

#include <cstddef>
#include <string>
#include <vector>

// The order in which records of many logs are merged, as mergecap merges:
// the next record out is the earliest of each log's next one, ties going to
// the log named first. Only each log's next record is in the queue, so a log's
// own records keep their order even where its clock stepped backwards.
class MergeQueue {
public:
    bool empty() const { return heap_.empty(); }
    // The log whose record goes out next.
    std::size_t top() const { return heap_.front().log; }
    void push(long long micros, std::size_t log);
    // The top log's next record, in place of the one that went out.
    void replace_top(long long micros);
    void pop();

private:
    struct Head {
        long long micros;
        std::size_t log;
        bool operator<(const Head &other) const {
            return micros != other.micros ? micros < other.micros : log < other.log;
        }
    };
    void sift_down(std::size_t at);
    std::vector<Head> heap_;
};

// The interface a log is shown as: NAME for NAME.log, else the file's name.
std::string interface_name(const std::string &path);

#endif
