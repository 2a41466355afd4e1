#ifndef SFLOGGER_LOG_FILE_H
#define SFLOGGER_LOG_FILE_H

#include <cstddef>

// The packet log at a path. A regular file (or any other path but a FIFO) is
// opened anew for every line, so a log moved away or deleted is re-created at
// the next line. A FIFO or pipe is opened once, for writing only, and kept.
class LogFile {
public:
    explicit LogFile(const char *path) : path_(path) {}
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // Appends one line, which is then in the log whole; false when it could
    // not be written, with none of it left in a regular file.
    bool append(const char *line, std::size_t size);

private:
    int open_first();

    const char *path_;
    bool first_ = true;
    int pipe_ = -1;
};

#endif
