#include "file_print.h"

#include <algorithm>
#include <cstring>

namespace {

// FNV-1a: a file's first line is told from another's, not guarded against forgery.
std::uint64_t hash_of(const char *data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash == 0 ? 1 : hash;
}

}  // namespace

std::uint64_t print_of_start(const char *head, std::size_t size) {
    const void *newline = std::memchr(head, '\n', std::min(size, print_span));
    if (newline != nullptr)
        return hash_of(head, static_cast<std::size_t>(static_cast<const char *>(newline) - head) + 1);
    return size >= print_span ? hash_of(head, print_span) : 0;
}

bool read_print(LogInput &input, std::uint64_t &print, std::string &error) {
    char head[print_span];
    std::size_t size = 0;
    while (size < sizeof head) {
        const long got = input.read(head + size, sizeof head - size, error);
        if (got < 0) return false;
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    print = print_of_start(head, size);
    return true;
}
