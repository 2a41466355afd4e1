#include "line_reader.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

LineReader::LineReader(int fd) : fd_(fd), buffer_(1 << 20) {}

bool LineReader::ready() const {
    return std::memchr(buffer_.data() + start_, '\n', size_ - start_) != nullptr || (eof_ && start_ == size_);
}

LineReader::Result LineReader::next(const char *&begin, const char *&end, std::string &error) {
    for (;;) {
        const char *at = buffer_.data() + start_;
        const void *newline = std::memchr(at, '\n', size_ - start_);
        if (newline != nullptr || (size_ - start_ == buffer_.size())) {
            begin = at;
            end = newline != nullptr ? static_cast<const char *>(newline) : buffer_.data() + size_;
            start_ = static_cast<std::size_t>(end - buffer_.data()) + (newline != nullptr ? 1 : 0);
            return line;
        }
        if (eof_) {
            begin = at;
            end = buffer_.data() + size_;
            const bool part = start_ < size_;
            start_ = size_;
            return part ? torn : ended;
        }
        // Keep the part of a line at the front, then fill the rest.
        std::memmove(buffer_.data(), at, size_ - start_);
        size_ -= start_;
        start_ = 0;
        const ssize_t n = read(fd_, buffer_.data() + size_, buffer_.size() - size_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            return failed;
        }
        if (n == 0) eof_ = true;
        size_ += static_cast<std::size_t>(n);
    }
}
