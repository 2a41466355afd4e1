// The standard metrics of a process, read from /proc each time they are
// collected: process_cpu_seconds_total, process_resident_memory_bytes,
// process_open_fds and process_start_time_seconds.
#ifndef SF_FLEET_PROCESS_METRICS_H
#define SF_FLEET_PROCESS_METRICS_H

#include <string>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

struct ProcessFigures {
    double cpu_seconds = 0;
    double resident_bytes = 0;
    double start_time = 0;  // seconds since the epoch
};

// Reads the figures out of /proc/self/stat's text, given the clock's ticks
// per second, the page size and the boot time; false when stat is not such
// a line.
bool read_process_stat(const std::string &stat, long ticks, long page, double boot, ProcessFigures &figures);

class ProcessMetrics : public prometheus::Collectable {
public:
    std::vector<prometheus::MetricFamily> Collect() const override;
};

#endif
