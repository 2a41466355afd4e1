// Checks arbitrary bytes as a packet log: the check never reads past the text,
// stops on a line boundary, and every line it accepts reads back the same
// after being written again in sflogger's format.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "log_line.h"
#include "packet_log.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

void round_trip(const LogPacket &packet, void * /*context*/) {
    char line[max_log_line];
    const timeval when{static_cast<time_t>(packet.micros / 1000000), static_cast<suseconds_t>(packet.micros % 1000000)};
    const std::size_t size = format_log_line(line, when, packet.bytes, packet.len);
    check(size > 0 && line[size - 1] == '\n');
    LogPacket again;
    check(parse_log_line(line, line + size - 1, again) == nullptr);
    check(again.micros == packet.micros && again.len == packet.len);
    check(std::memcmp(again.bytes, packet.bytes, static_cast<std::size_t>(packet.len)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // A copy of exactly the input, so that reading past it is caught.
    const std::vector<char> text(data, data + size);
    const LogCheck result = check_packet_log(text.data(), text.size(), round_trip, nullptr);
    check(result.size <= size);
    check(result.size == 0 || text[result.size - 1] == '\n');
    check((result.bad_line == 0) == (result.what == nullptr));
    check(!result.torn || result.bad_line == 0);
    return 0;
}
