#include "delays.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

int print_delays(std::vector<long long> &delays, long expected) {
    if (delays.empty()) return 1;
    std::sort(delays.begin(), delays.end());
    const auto at = [&](double share) {
        return static_cast<double>(delays[static_cast<std::size_t>(share * static_cast<double>(delays.size() - 1))]) /
               1000.0;
    };
    std::printf("lines %zu p50 %.2f p99 %.2f max %.2f\n", delays.size(), at(0.5), at(0.99), at(1.0));
    return static_cast<long>(delays.size()) == expected ? 0 : 1;
}
