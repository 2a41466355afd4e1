#ifndef SF_PCAP_LOG_STREAM_H
#define SF_PCAP_LOG_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packet_log.h"
#include "rotated_files.h"
#include "time_range.h"

// A gateway's history, its rotated files oldest first and then its log, read
// as one sequence of the packets in a time range. Where a plain file's
// timestamps rise, the range's ends are found by bisection, not by reading.
// Trouble with one file (removed before it was reached, truncated while
// read, unreadable, a last line without its newline) is reported on standard
// error and reading goes on with the next file.
class LogStream {
public:
    LogStream(std::vector<RotatedFile> files, TimeRange range);
    LogStream(const LogStream &) = delete;
    LogStream &operator=(const LogStream &) = delete;

    enum Step { got, ended, malformed };
    // Moves on: got, the next packet in the range is in packet(); ended; or
    // malformed, reported as FILE:LINE: what is wrong.
    Step advance();
    const LogPacket &packet() const { return packet_; }
    // Whether a file could not be read (not merely removed or truncated).
    bool failed() const { return failed_; }

private:
    enum Read { line, cut, torn, done, error };
    bool open_next();
    void find_range(int fd, std::uint64_t &start, std::uint64_t &end) const;
    // The next line: from begin to a newline (line), or [begin, end) (cut, torn).
    Read next_line(const char *&begin, const char *&end);
    void finish_file();
    // The number in its file of the line after the lines_ read.
    unsigned long long next_line_number() const;

    std::vector<RotatedFile> files_;
    std::size_t next_file_ = 0;
    TimeRange range_;
    LogInput input_;
    int fd_ = -1;  // the plain file input_ reads, for fstat
    std::string path_;
    std::vector<char> buffer_;
    std::size_t start_ = 0;  // of the next line in buffer_
    std::size_t size_ = 0;
    std::size_t whole_ = 0;     // the end of the last whole line in buffer_
    std::uint64_t first_ = 0;   // offset in the file where reading began
    std::uint64_t offset_ = 0;  // of buffer_'s end in the file
    std::uint64_t limit_ = 0;   // where reading ends
    std::uint64_t lines_ = 0;   // lines read from first_
    bool eof_ = false;
    bool failed_ = false;
    LogPacket packet_;
};

#endif
