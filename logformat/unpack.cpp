#include "unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <bzlib.h>
#include <lzma.h>
#include <unistd.h>
#include <zstd.h>

namespace {

class XzUnpacker : public Unpacker {
public:
    XzUnpacker() {
        call_ = "lzma_code";
        ready_ = lzma_stream_decoder(&stream_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK;
    }
    ~XzUnpacker() override { lzma_end(&stream_); }
    XzUnpacker(const XzUnpacker &) = delete;
    XzUnpacker &operator=(const XzUnpacker &) = delete;

private:
    bool decode(char *data, std::size_t size, std::size_t &made, bool ending, UnpackFailure &failure) override {
        if (!ready_) return failure = {"lzma_stream_decoder", "out of memory", false}, false;
        stream_.next_in = in_ + at_;
        stream_.avail_in = end_ - at_;
        stream_.next_out = reinterpret_cast<std::uint8_t *>(data);
        stream_.avail_out = size;
        const lzma_ret code = lzma_code(&stream_, ending ? LZMA_FINISH : LZMA_RUN);
        at_ = end_ - stream_.avail_in;
        made = size - stream_.avail_out;
        if (code == LZMA_STREAM_END) done_ = true;
        if (code == LZMA_OK || code == LZMA_STREAM_END || (code == LZMA_BUF_ERROR && !ending)) return true;
        failure = {"lzma_code", text_of(code), code != LZMA_MEM_ERROR};
        return false;
    }
    bool complete() const override { return done_; }
    static const char *text_of(lzma_ret code) {
        switch (code) {
            case LZMA_BUF_ERROR:
                return "unexpected end of file";
            case LZMA_FORMAT_ERROR:
                return "not in the xz format";
            case LZMA_MEM_ERROR:
                return "out of memory";
            default:
                return "compressed data is corrupt";
        }
    }
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ready_ = false;
    bool done_ = false;
};

class ZstdUnpacker : public Unpacker {
public:
    ZstdUnpacker() : stream_(ZSTD_createDStream()) { call_ = "ZSTD_decompressStream"; }
    ~ZstdUnpacker() override { ZSTD_freeDStream(stream_); }
    ZstdUnpacker(const ZstdUnpacker &) = delete;
    ZstdUnpacker &operator=(const ZstdUnpacker &) = delete;

private:
    bool decode(char *data, std::size_t size, std::size_t &made, bool /*ending*/, UnpackFailure &failure) override {
        if (stream_ == nullptr) return failure = {"ZSTD_createDStream", "out of memory", false}, false;
        ZSTD_inBuffer input{in_, end_, at_};
        ZSTD_outBuffer output{data, size, 0};
        const std::size_t code = ZSTD_decompressStream(stream_, &output, &input);
        const bool moved = input.pos != at_ || output.pos > 0;
        at_ = input.pos;
        made = output.pos;
        if (ZSTD_isError(code) != 0) {
            failure = {"ZSTD_decompressStream", ZSTD_getErrorName(code), true};
            return false;
        }
        // Called again with nothing, it asks for the next frame's header: no news.
        if (moved) frame_done_ = code == 0;
        return true;
    }
    bool complete() const override { return frame_done_; }
    ZSTD_DStream *stream_;
    bool frame_done_ = true;
};

class Bzip2Unpacker : public Unpacker {
public:
    Bzip2Unpacker() {
        call_ = "BZ2_bzDecompress";
        ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    }
    ~Bzip2Unpacker() override {
        if (ready_) BZ2_bzDecompressEnd(&stream_);
    }
    Bzip2Unpacker(const Bzip2Unpacker &) = delete;
    Bzip2Unpacker &operator=(const Bzip2Unpacker &) = delete;

private:
    bool decode(char *data, std::size_t size, std::size_t &made, bool /*ending*/, UnpackFailure &failure) override {
        if (!ready_) return failure = {"BZ2_bzDecompressInit", "out of memory", false}, false;
        // bzip2 -c of several files, or pbzip2: streams one after another.
        if (done_ && at_ < end_) {
            BZ2_bzDecompressEnd(&stream_);
            ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
            done_ = false;
            if (!ready_) return failure = {"BZ2_bzDecompressInit", "out of memory", false}, false;
        }
        stream_.next_in = reinterpret_cast<char *>(in_ + at_);
        stream_.avail_in = static_cast<unsigned>(end_ - at_);
        stream_.next_out = data;
        stream_.avail_out = static_cast<unsigned>(std::min<std::size_t>(size, 1U << 30));
        const unsigned room = stream_.avail_out;
        const int code = done_ ? BZ_STREAM_END : BZ2_bzDecompress(&stream_);
        at_ = end_ - stream_.avail_in;
        made = room - stream_.avail_out;
        if (code == BZ_STREAM_END) done_ = true;
        if (code == BZ_OK || code == BZ_STREAM_END) return true;
        failure = {"BZ2_bzDecompress", code == BZ_MEM_ERROR ? "out of memory" : "compressed data is corrupt",
                   code != BZ_MEM_ERROR};
        return false;
    }
    bool complete() const override { return done_; }
    bz_stream stream_{};
    bool ready_ = false;
    bool done_ = false;
};

}  // namespace

long Unpacker::read(int fd, char *data, std::size_t size, UnpackFailure &failure) {
    if (failed_.call != nullptr) {
        failure = failed_;
        return -1;
    }
    std::size_t made = 0;
    while (made == 0 && size > 0) {
        if (at_ == end_ && !ended_) {
            const ssize_t got = ::read(fd, in_, sizeof in_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                failure = {"read", std::strerror(errno), false};
                return -1;
            }
            at_ = 0;
            end_ = static_cast<std::size_t>(got);
            ended_ = got == 0;
        }
        if (!decode(data, size, made, ended_, failure)) break;
        if (made == 0 && ended_ && at_ == end_) {
            if (complete()) return 0;
            failure = {call_, "unexpected end of file", true};
            break;
        }
    }
    if (failure.damaged) failed_ = failure;  // the same at every read after
    if (made > 0 || failure.call == nullptr) return static_cast<long>(made);
    return -1;
}

std::unique_ptr<Unpacker> unpacker_for(const unsigned char *magic, std::size_t size) {
    const auto starts = [&](const char *with, std::size_t length) {
        return size >= length && std::memcmp(magic, with, length) == 0;
    };
    static const char xz_magic[] = {'\xFD', '7', 'z', 'X', 'Z', '\0'};
    if (starts(xz_magic, sizeof xz_magic)) return std::make_unique<XzUnpacker>();
    if (starts("\x28\xB5\x2F\xFD", 4)) return std::make_unique<ZstdUnpacker>();
    if (starts("BZh", 3)) return std::make_unique<Bzip2Unpacker>();
    return nullptr;
}
