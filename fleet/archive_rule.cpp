#include "archive_rule.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

Located locate_log(std::uint64_t print, const std::vector<LogFile> &files, std::size_t hint) {
    if (hint < files.size() && !files[hint].compressed &&
        (print == 0 || !files[hint].read || files[hint].print == print))
        return {Where::recorded, hint};  // one it cannot read is taken for what its inode says
    if (print == 0) return {};
    Located plain;
    Located packed;
    std::size_t plains = 0;
    std::size_t packs = 0;
    for (std::size_t at = 0; at < files.size(); ++at) {
        if (!files[at].read || files[at].print != print) continue;
        if (files[at].compressed) {
            packed = {Where::compressed, at};
            ++packs;
        } else {
            plain = {Where::moved, at};
            ++plains;
        }
    }
    if (plains > 1) return {Where::several, plain.at};
    if (plains == 1) return plain;
    return packs == 1 ? packed : Located{};
}

std::size_t logs_open_at_most(std::uint64_t limit) {
    const std::uint64_t kept = std::clamp<std::uint64_t>(limit / 4, 16, 256);
    const std::uint64_t most = limit > kept ? limit - kept : 1;
    return static_cast<std::size_t>(std::min<std::uint64_t>(most, std::uint64_t{1} << 24));
}

std::size_t lines_held(const char *held, std::size_t held_size, const char *lines, std::size_t size) {
    std::size_t same = 0;
    while (same < size) {
        const void *end = std::memchr(lines + same, '\n', size - same);
        if (end == nullptr) break;
        const std::size_t next = static_cast<std::size_t>(static_cast<const char *>(end) - lines) + 1;
        if (next > held_size || std::memcmp(held + same, lines + same, next - same) != 0) break;
        same = next;
    }
    return same;
}

std::size_t find_line(const std::string &text, bool at_start, const char *line, std::size_t size) {
    for (std::size_t at = text.find(line, 0, size); at != std::string::npos; at = text.find(line, at + 1, size))
        if (at == 0 ? at_start : text[at - 1] == '\n') return at;
    return std::string::npos;
}
