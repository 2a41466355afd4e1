#include "archive_rule.h"

#include <algorithm>
#include <cerrno>

Failure classify_failure(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EIO:
        case EROFS:
            return Failure::disk;
        case EMFILE:
        case ENFILE:
            return Failure::descriptors;
        default:
            return Failure::file;
    }
}

std::chrono::seconds retry_delay(unsigned failures) {
    // Soon after the first failure, as a mended file should take lines at
    // once; then seldom, as one that stays broken costs a call each time.
    const unsigned max_shift = 5;  // 32 s
    if (failures == 0) return std::chrono::seconds(0);
    return std::chrono::seconds(std::uint64_t{1} << std::min(failures - 1, max_shift));
}

FilePlan plan_file(bool recorded, bool trusted, std::uint64_t recorded_size, bool same, std::uint64_t size) {
    if (!recorded || !same) return {FileAction::take_new, size, 0};
    // Smaller than recorded: cut in place or truncated after a copy, by another program.
    if (size < recorded_size) return {FileAction::take_new, size, recorded_size - size};
    if (size == recorded_size || !trusted) return {FileAction::keep, size, 0};
    return {FileAction::cut, recorded_size, 0};
}

std::size_t logs_open_at_most(std::uint64_t limit) {
    const std::uint64_t kept = std::clamp<std::uint64_t>(limit / 4, 16, 256);
    const std::uint64_t most = limit > kept ? limit - kept : 1;
    return static_cast<std::size_t>(std::min<std::uint64_t>(most, std::uint64_t{1} << 24));
}
