#include "log_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "read_at.h"
#include "warn.h"

namespace {

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

// Smaller files are read whole: that costs no more than bisecting them.
constexpr std::uint64_t bisect_from = 1 << 20;

// Newlines in the file before offset; what line numbers start from when
// bisection began reading there.
std::uint64_t count_lines(const std::string &path, std::uint64_t offset) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::uint64_t lines = 0;
    char chunk[64 * 1024];
    for (std::uint64_t at = 0; at < offset;) {
        const long got =
            read_at(fd, at, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, offset - at)));
        if (got <= 0) break;
        for (const char *c = chunk;
             (c = static_cast<const char *>(std::memchr(c, '\n', static_cast<std::size_t>(chunk + got - c)))) !=
             nullptr;
             ++c)
            ++lines;
        at += static_cast<std::uint64_t>(got);
    }
    close(fd);
    return lines;
}

}  // namespace

LogStream::LogStream(std::vector<RotatedFile> files, TimeRange range)
    : files_(std::move(files)), range_(range), buffer_(std::size_t{128} * 1024) {}

LogStream::Step LogStream::advance() {
    for (;;) {
        if (!input_.is_open() && !open_next()) return ended;
        const char *begin = nullptr;
        const char *end = nullptr;
        const char *what = nullptr;
        switch (next_line(begin, end)) {
            case line:
                what = parse_log_line_to_newline(begin, packet_, end);
                if (what == nullptr) start_ = static_cast<std::size_t>(end - buffer_.data()) + 1;
                break;
            case cut:
                what = parse_log_line(begin, end, packet_);
                break;
            case torn:
                warn("%s:%llu: last line has no newline, not converted", path_.c_str(), next_line_number());
                finish_file();
                continue;
            case done:
                finish_file();
                continue;
            case error:
                continue;
        }
        if (what != nullptr) {
            warn("%s:%llu: %s", path_.c_str(), next_line_number(), what);
            return malformed;
        }
        ++lines_;
        if (packet_.micros >= range_.since && packet_.micros < range_.until) return got;
    }
}

unsigned long long LogStream::next_line_number() const {
    return (first_ == 0 ? 0 : count_lines(path_, first_)) + lines_ + 1;
}

bool LogStream::open_next() {
    while (next_file_ < files_.size()) {
        const RotatedFile &file = files_[next_file_++];
        path_ = file.name == "-" ? "(standard input)" : file.name;
        const int fd = file.name == "-" ? dup(STDIN_FILENO) : open(file.name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) {
                warn("%s: removed before it was read, passed over", path_.c_str());
            } else {
                warn("open %s: %s", path_.c_str(), std::strerror(errno));
                failed_ = true;
            }
            continue;
        }
        std::uint64_t start = 0;
        std::uint64_t end = no_limit;
        if (!file.compressed) find_range(fd, start, end);
        if (start > 0 && lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
            warn("lseek %s: %s", path_.c_str(), std::strerror(errno));
            close(fd);
            failed_ = true;
            continue;
        }
        std::string why;
        if (!input_.adopt(fd, path_, file.compressed, why)) {
            warn("%s", why.c_str());
            failed_ = true;
            continue;
        }
        fd_ = file.compressed ? -1 : fd;
        first_ = offset_ = start;
        limit_ = end;
        lines_ = 0;
        start_ = size_ = whole_ = 0;
        eof_ = false;
        return true;
    }
    return false;
}

void LogStream::find_range(int fd, std::uint64_t &start, std::uint64_t &end) const {
    struct stat st {};
    const bool ranged = range_.since != TimeRange().since || range_.until != TimeRange().until;
    if (!ranged || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < bisect_from)
        return;
    const ReadAt read = [fd](std::uint64_t offset, char *data, std::size_t size) {
        return read_at(fd, offset, data, size);
    };
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t from = 0;
    std::uint64_t to = size;
    // Both ends by bisection, or neither: a file whose lines do not rise is read whole.
    if ((range_.since == TimeRange().since || find_time(read, size, range_.since, from)) &&
        (range_.until == TimeRange().until || find_time(read, size, range_.until, to)) && from <= to) {
        start = from;
        end = to;
    }
}

LogStream::Read LogStream::next_line(const char *&begin, const char *&end) {
    for (;;) {
        const char *at = buffer_.data() + start_;
        if (start_ < whole_) {
            begin = at;
            return line;
        }
        if (size_ - start_ == buffer_.size()) {
            // A line as long as the buffer: it cannot parse.
            begin = at;
            end = buffer_.data() + size_;
            start_ = size_;
            return cut;
        }
        if (eof_) return start_ < size_ ? torn : done;
        std::memmove(buffer_.data(), at, size_ - start_);
        size_ -= start_;
        start_ = 0;
        whole_ = 0;
        const std::uint64_t left = limit_ - offset_;
        std::string why;
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - size_, left));
        const long got = left == 0 ? 0 : input_.read(buffer_.data() + size_, room, why);
        if (got < 0) {
            warn("%s", why.c_str());
            failed_ = true;
            input_.close();
            return error;
        }
        if (got == 0) {
            eof_ = true;
            struct stat st {};
            if (left != 0 && fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<std::uint64_t>(st.st_size) < offset_) {
                // What is left of a line was cut by the truncation, not by a writer.
                warn("%s: truncated while read, its lines from byte %llu on left out", path_.c_str(),
                     static_cast<unsigned long long>(offset_ - size_));
                size_ = 0;
            }
        }
        size_ += static_cast<std::size_t>(got);
        offset_ += static_cast<std::uint64_t>(got);
        // One search a read for the last newline, so that no line needs its
        // own before it is parsed.
        const void *last = memrchr(buffer_.data(), '\n', size_);
        whole_ = last == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char *>(last) - buffer_.data()) + 1;
    }
}

void LogStream::finish_file() {
    input_.close();
    fd_ = -1;
}
