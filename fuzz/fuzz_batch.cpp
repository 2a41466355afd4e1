// Checks arbitrary bytes as a batch's payload, as sfcollect reads it: the
// read stays within the payload, an accepted batch's header is the one the
// publisher writes for its numbers, and its lines are whole and counted.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "contract.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // A copy of exactly the input, so that reading past it is caught.
    const std::vector<char> payload(data, data + size);
    BatchView batch;
    if (read_batch(payload.data(), payload.size(), batch) != nullptr) return 0;
    const std::string header = format_header(batch.epoch, batch.seq);
    check(header.size() + batch.size == size);
    check(std::memcmp(payload.data(), header.data(), header.size()) == 0);
    check(batch.lines == payload.data() + header.size());
    check(batch.count > 0 && batch.lines[batch.size - 1] == '\n');
    check(static_cast<std::uint64_t>(std::count(batch.lines, batch.lines + batch.size, '\n')) == batch.count);
    return 0;
}
