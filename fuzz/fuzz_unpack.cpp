// Reads arbitrary bytes as a rotated file compressed with gzip, xz, zstd or
// bzip2, picked by its first bytes as a damaged or hostile file would pick
// it: every read stays in its buffer, and once damage is said every later
// read fails.
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "rotated_files.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const int fd = memfd_create("packed", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return 0;
    }
    LogInput input;
    std::string error;
    if (!input.adopt(fd, "packed", true, error)) return 0;
    char chunk[4096];
    for (int reads = 0; reads < 4096; ++reads) {
        const long got = input.read(chunk, sizeof chunk, error);
        check(got >= -1 && got <= static_cast<long>(sizeof chunk));
        if (input.damaged()) {
            check(!error.empty());
            check(input.read(chunk, sizeof chunk, error) == -1);
            break;
        }
        if (got <= 0) break;
    }
    return 0;
}
