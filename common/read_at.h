// Reading a file at an offset without moving its position.
#ifndef SF_COMMON_READ_AT_H
#define SF_COMMON_READ_AT_H

#include <cstddef>
#include <cstdint>

// Reads size bytes at offset, going on after short reads and interruptions;
// how many it read (fewer where the file ends), or -1 with errno set.
long read_at(int fd, std::uint64_t offset, char *data, std::size_t size);

#endif
