#ifndef SFLOG_ROTATED_FILES_H
#define SFLOG_ROTATED_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

// A file logrotate made of a log, or the log itself.
struct RotatedFile {
    std::string name;  // the name in the folder, or the path from list_rotated
    bool compressed = false;
};

// Of the names in a log's folder, those logrotate may have made of the log
// named base, oldest first: base.N (older as N grows), then base-DATE
// (dateext, oldest name first), each perhaps with ".gz". Where both X and
// X.gz are there, gzip is still writing X.gz, so X alone is listed. The log
// itself is not among them.
std::vector<RotatedFile> order_rotated(const std::string &base, const std::vector<std::string> &names);

// Whether name is one logrotate may have made of the log named base:
// base.N or base-DATE, compressed when it ends in ".gz".
bool is_rotated_name(const std::string &base, const std::string &name, bool &compressed);

// Reads log's folder: files gets the paths of its rotated files, oldest
// first, then log itself when it is there. False, with error naming the
// failed call, when the folder cannot be read.
bool list_rotated(const std::string &log, std::vector<RotatedFile> &files, std::string &error);

// Reads a plain or a gzip-compressed file as one stream of bytes. Errors
// name the call and the file: "read LOG.1: Input/output error".
class LogInput {
public:
    LogInput() = default;
    ~LogInput() { close(); }
    LogInput(const LogInput &) = delete;
    LogInput &operator=(const LogInput &) = delete;

    bool open(const std::string &path, bool compressed, std::string &error);
    // Takes fd over, named name in errors.
    bool adopt(int fd, const std::string &name, bool compressed, std::string &error);
    // Up to size bytes: how many, 0 at the end, -1 with error set. A
    // compressed file that ends inside its stream is an error.
    long read(char *data, std::size_t size, std::string &error);
    // Passes over count bytes; false at an error (error set) or at the end
    // (error empty).
    bool skip(std::uint64_t count, std::string &error);
    bool is_open() const { return fd_ >= 0 || gz_ != nullptr; }
    void close();

private:
    int fd_ = -1;
    gzFile gz_ = nullptr;
    std::string name_;
};

#endif
