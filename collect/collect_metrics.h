// sfcollect's metrics: per gateway what it appended, dropped as duplicates
// and started, the lines it lost at the gateway, with the newest packet's time and the retained status; and
// what it refused, how long its commits took and its link to the broker.
#ifndef SFCOLLECT_COLLECT_METRICS_H
#define SFCOLLECT_COLLECT_METRICS_H

#include <cstdint>
#include <string>
#include <unordered_map>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

class CollectMetrics {
public:
    explicit CollectMetrics(prometheus::Registry &registry);

    void appended(const std::string &name, std::uint64_t lines, std::size_t bytes, long long last_micros);
    void duplicates(const std::string &name, std::uint64_t lines);
    // lost: the lines the gateway lost before the epoch, as it told them.
    void started_epoch(const std::string &name, std::uint64_t lost);
    void status(const std::string &name, bool online);
    void refused(const char *reason);
    void committed(double seconds);
    void connected(bool up);

private:
    struct Gateway {
        prometheus::Counter *lines, *bytes, *duplicates, *epochs, *lost;
        prometheus::Gauge *last_packet, *last_append, *online;
    };
    Gateway &gateway(const std::string &name);

    prometheus::Family<prometheus::Counter> &lines_, &bytes_, &duplicates_, &epochs_, &lost_, &refused_;
    prometheus::Family<prometheus::Gauge> &last_packet_, &last_append_, &online_;
    prometheus::Histogram &commit_;
    prometheus::Gauge &connected_;
    prometheus::Counter &connects_;
    std::unordered_map<std::string, Gateway> gateways_;
};

#endif
