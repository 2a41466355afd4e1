#ifndef SFLOG_LINE_READER_H
#define SFLOG_LINE_READER_H

#include <cstddef>
#include <string>
#include <vector>

// Reads a log from a descriptor line by line through a bounded buffer, so
// that a log of any size, or an endless one from a pipe, is read in constant
// memory.
class LineReader {
public:
    explicit LineReader(int fd);

    enum Result {
        line,   // [begin, end) is the next line, without its newline
        torn,   // the input ended inside a line: [begin, end) is its part
        ended,  // the input ended after a whole line
        failed  // a read failed: error says why
    };
    // A line longer than the buffer comes back cut to the buffer's size: as no
    // log line is that long, its parse fails.
    Result next(const char *&begin, const char *&end, std::string &error);

    // Whether next() has a whole line without reading: what a caller that
    // streams output flushes before, so nothing waits while the input does.
    bool ready() const;

private:
    int fd_;
    std::vector<char> buffer_;
    std::size_t start_ = 0;  // of the next line
    std::size_t size_ = 0;   // bytes in the buffer
    bool eof_ = false;
};

#endif
