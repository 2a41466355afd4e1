// The compressions logrotate's compresscmd may be set to besides gzip (xz,
// zstd, bzip2), each read through its Debian library as one stream of bytes.
#ifndef SFLOG_UNPACK_H
#define SFLOG_UNPACK_H

#include <cstddef>
#include <memory>
#include <string>

struct UnpackFailure {
    const char *call = nullptr;  // the failed call: "read", "lzma_code", ...
    std::string text;
    bool damaged = false;  // in the data itself (cut short, corrupt), not in reading the file
};

class Unpacker {
public:
    virtual ~Unpacker() = default;
    // Up to size bytes of the stream read from fd: how many, 0 at its end,
    // -1 with failure set. Damaged data gives the bytes before it with
    // failure set, then fails at every read after.
    long read(int fd, char *data, std::size_t size, UnpackFailure &failure);

protected:
    // Decodes from in_[at_, end_) into data; false with failure set. at_
    // and end_ moved past what was taken. Ending is true when no more input
    // comes after end_.
    virtual bool decode(char *data, std::size_t size, std::size_t &made, bool ending, UnpackFailure &failure) = 0;
    // Whether the stream ended where a frame of it ended, not inside one.
    virtual bool complete() const = 0;

    const char *call_ = "read";  // the decoder's, named when the data ends inside a frame
    unsigned char in_[64 * 1024];
    std::size_t at_ = 0;
    std::size_t end_ = 0;

private:
    bool ended_ = false;
    UnpackFailure failed_;
};

// The decoder for data that starts with magic (at least its first six
// bytes when it has them); null for gzip and for anything else, which zlib
// reads (plain data passing through as it is).
std::unique_ptr<Unpacker> unpacker_for(const unsigned char *magic, std::size_t size);

#endif
