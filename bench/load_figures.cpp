#include "load_figures.h"

#include <algorithm>
#include <cmath>

#include "contract.h"
#include "log_line.h"

std::string format_load_batch(std::uint64_t epoch, std::uint64_t seq, std::uint32_t gateway, const timeval &when) {
    // 28 bytes, as the other benches' packets.
    unsigned char packet[28] = {};
    for (int i = 0; i < 4; ++i) {
        packet[i] = static_cast<unsigned char>(gateway >> (24 - 8 * i));
        packet[4 + i] = static_cast<unsigned char>(seq >> (24 - 8 * i));
    }
    char line[max_log_line];
    const std::size_t size = format_log_line(line, when, packet, sizeof packet);
    return format_header(epoch, seq).append(line, size);
}

long long send_offset(std::uint64_t second, std::uint64_t gateway, std::uint64_t gateways) {
    const std::uint64_t micros = second * 1000000 + gateway * 1000000 / gateways;
    return static_cast<long long>(micros);
}

std::uint64_t first_second(std::uint64_t gateway, std::uint64_t gateways, std::uint64_t ramp) {
    return gateway * ramp / gateways;
}

long long percentile(const std::vector<long long> &sorted, double share) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : std::min(rank, sorted.size()) - 1];
}
