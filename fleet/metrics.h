// The fleet programs' metrics, served over HTTP at /metrics in Prometheus's
// text format by prometheus-cpp's exposer, from threads of its own; the
// counters and gauges are atomics that the program's one thread updates where
// things happen.
#ifndef SF_FLEET_METRICS_H
#define SF_FLEET_METRICS_H

#include <memory>
#include <string>

namespace prometheus {
class Exposer;
class Registry;
}  // namespace prometheus
class ProcessMetrics;

struct MetricsAddress {
    std::string host;  // an IPv4 address
    int port = 0;      // 0: one the system picks
};

// ADDRESS:PORT, ADDRESS an IPv4 address.
bool parse_metrics_address(const char *text, MetricsAddress &address);

// The registry of a program's metrics, with the process's own (CPU time,
// resident memory, open descriptors, start time, read from /proc when
// scraped), and the server that exposes it once started.
class Metrics {
public:
    Metrics();
    ~Metrics();
    Metrics(const Metrics &) = delete;
    Metrics &operator=(const Metrics &) = delete;

    prometheus::Registry &registry() { return *registry_; }
    // Listens at address, when one was given (its port not -1), and says
    // where on standard output ("metrics on http://ADDRESS:PORT/metrics"),
    // so that a port the system picked is known; false with error set
    // ("--metrics ADDRESS:PORT: REASON").
    bool serve(const MetricsAddress &address, std::string &error);
    int port() const { return port_; }  // listened on, once serving

private:
    std::shared_ptr<prometheus::Registry> registry_;
    std::shared_ptr<ProcessMetrics> process_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    int port_ = 0;
};

#endif
