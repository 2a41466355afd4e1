#ifndef SF_BENCH_DELAYS_H
#define SF_BENCH_DELAYS_H

#include <vector>

// Prints the delays, in microseconds, in milliseconds as the latency
// benchmarks report them: "lines N p50 P p99 P max P". Returns the exit
// status: 0 when all expected lines came, 1 otherwise.
int print_delays(std::vector<long long> &delays, long expected);

#endif
