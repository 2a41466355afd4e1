#ifndef SFLOG_ROTATED_FILES_H
#define SFLOG_ROTATED_FILES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>
#include <zlib.h>

#include "unpack.h"

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
// first, then log itself when it is there. With olddir (logrotate's: a
// folder, relative to log's unless absolute), the rotated files there come
// after those beside log, which predate it; a missing olddir holds none.
// False, with error naming the failed call, when a folder cannot be read.
bool list_rotated(const std::string &log, std::vector<RotatedFile> &files, std::string &error,
                  const std::string &olddir = "");
// Where a log that is a symbolic link is: the path of the file it names, at
// the end of a chain of links, whether or not that file is there (logrotate
// works on the link's target, not on the link). path itself when it is no link.
std::string resolve_link(const std::string &path);
// logrotate's olddir of log: relative to log's folder unless absolute.
std::string olddir_of(const std::string &log, const std::string &olddir);

// A file of the log's folder as one reading of it saw it.
struct SeenFile {
    std::string name;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime = 0;  // nanoseconds
};

// Whether two readings of the folder, taken one after the other, name the
// same files in the same order: logrotate renames and compresses between a
// readdir and a stat, and a file missed so would be passed over, so a
// listing counts only once two readings agree. A file that grew is the same.
bool readings_agree(const std::vector<SeenFile> &first, const std::vector<SeenFile> &second);
// Whether what was read of was's content (its print) holds for now: the
// same file, neither grown nor written since.
bool same_content(const SeenFile &was, const SeenFile &now);

// Reads a plain or a compressed file as one stream of bytes: gzip through
// zlib, xz, zstd and bzip2 (logrotate's compresscmd) through their
// libraries, told apart by their first bytes. Errors
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
    // compressed file that ends inside its stream is an error, after the
    // bytes before it: those come with damaged() and error set.
    long read(char *data, std::size_t size, std::string &error);
    // Passes over count bytes; false at an error (error set) or at the end
    // (error empty).
    bool skip(std::uint64_t count, std::string &error);
    bool is_open() const { return fd_ >= 0 || gz_ != nullptr || packed_ >= 0; }
    // Whether the last error was in the compressed data itself (cut short,
    // corrupt), not in reading the file: it comes again at the same place.
    bool damaged() const { return damaged_; }
    void close();

private:
    int fd_ = -1;  // plain
    gzFile gz_ = nullptr;
    int packed_ = -1;  // read through unpacker_
    std::unique_ptr<Unpacker> unpacker_;
    std::string name_;
    bool damaged_ = false;
};

#endif
