#include "process_metrics.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <time.h>
#include <unistd.h>

namespace {

std::string read_text(const char *path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// When the system started, from the clocks: the units hide /proc/stat.
double boot_time() {
    timespec now{};
    timespec up{};
    clock_gettime(CLOCK_REALTIME, &now);
    clock_gettime(CLOCK_BOOTTIME, &up);
    return static_cast<double>(now.tv_sec - up.tv_sec) + static_cast<double>(now.tv_nsec - up.tv_nsec) / 1e9;
}

double open_fds() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    double count = 0;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count - 1;  // the one opendir holds
}

prometheus::MetricFamily family_of(const char *name, const char *help, prometheus::MetricType type, double value) {
    prometheus::ClientMetric metric;
    if (type == prometheus::MetricType::Counter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
    return {name, help, type, {metric}};
}

}  // namespace

bool read_process_stat(const std::string &stat, long ticks, long page, double boot, ProcessFigures &figures) {
    // The command's name is in parentheses and may hold spaces and parentheses itself.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || ticks <= 0) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // After the name: state (3), ..., utime (14), stime (15), ..., starttime (22), vsize (23), rss (24).
    double utime = 0;
    double stime = 0;
    double start = 0;
    double rss = 0;
    for (int number = 3; number <= 24; ++number) {
        if (!(fields >> field)) return false;
        char *end = nullptr;
        const double value = std::strtod(field.c_str(), &end);
        if (number == 14) utime = value;
        if (number == 15) stime = value;
        if (number == 22) start = value;
        if (number == 24) rss = value;
        if (number >= 14 && *end != '\0') return false;
    }
    figures.cpu_seconds = (utime + stime) / static_cast<double>(ticks);
    figures.start_time = boot + start / static_cast<double>(ticks);
    figures.resident_bytes = rss * static_cast<double>(page);
    return true;
}

std::vector<prometheus::MetricFamily> ProcessMetrics::Collect() const {
    ProcessFigures figures;
    read_process_stat(read_text("/proc/self/stat"), sysconf(_SC_CLK_TCK), sysconf(_SC_PAGESIZE), boot_time(), figures);
    using prometheus::MetricType;
    return {
        family_of("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", MetricType::Counter,
                  figures.cpu_seconds),
        family_of("process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
                  figures.resident_bytes),
        family_of("process_open_fds", "Number of open file descriptors.", MetricType::Gauge, open_fds()),
        family_of("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
                  MetricType::Gauge, figures.start_time),
    };
}
