// The pure parts of bench/fleet_load: the batches a simulated gateway sends,
// when it sends them, and what the delays come to.
#ifndef SF_BENCH_LOAD_FIGURES_H
#define SF_BENCH_LOAD_FIGURES_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/time.h>

// The batch of line seq of a gateway's epoch: the header and one log line
// stamped when, its packet the gateway's number and the line's.
std::string format_load_batch(std::uint64_t epoch, std::uint64_t seq, std::uint32_t gateway, const timeval &when);

// Microseconds from the start at which gateway (0 to gateways - 1) sends its
// line of second second: the gateways' sends spread evenly over each second.
long long send_offset(std::uint64_t second, std::uint64_t gateway, std::uint64_t gateways);

// The second from which gateway sends: the gateways join one after another
// over the first ramp seconds, as a fleet comes online, rather than all of
// them starting a file in the same second.
std::uint64_t first_second(std::uint64_t gateway, std::uint64_t gateways, std::uint64_t ramp);

// The nearest-rank percentile of sorted: the smallest value that share (0 to
// 1) of the values do not exceed; 0 for none.
long long percentile(const std::vector<long long> &sorted, double share);

#endif
