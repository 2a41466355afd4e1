#include "merge_queue.h"

#include <utility>

void MergeQueue::push(long long micros, std::size_t log) {
    heap_.push_back({micros, log});
    for (std::size_t at = heap_.size() - 1; at > 0;) {
        const std::size_t parent = (at - 1) / 2;
        if (!(heap_[at] < heap_[parent])) break;
        std::swap(heap_[at], heap_[parent]);
        at = parent;
    }
}

void MergeQueue::replace_top(long long micros) {
    heap_.front().micros = micros;
    sift_down(0);
}

void MergeQueue::pop() {
    heap_.front() = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) sift_down(0);
}

void MergeQueue::sift_down(std::size_t at) {
    const Head moving = heap_[at];
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= heap_.size()) break;
        if (child + 1 < heap_.size() && heap_[child + 1] < heap_[child]) ++child;
        if (!(heap_[child] < moving)) break;
        heap_[at] = heap_[child];
        at = child;
    }
    heap_[at] = moving;
}

std::string interface_name(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t suffix = name.size() > 4 ? name.size() - 4 : 0;
    if (suffix > 0 && name.compare(suffix, 4, ".log") == 0) name.erase(suffix);
    return name;
}
