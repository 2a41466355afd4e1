// sfpublish's metrics, each with the constant label gateway: lines sent,
// sent again, acknowledged and lost, the backlog and the age of its oldest line,
// malformed lines passed over, epochs started, and its link to the broker.
#ifndef SFPUBLISH_PUBLISH_METRICS_H
#define SFPUBLISH_PUBLISH_METRICS_H

#include <cstdint>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

struct PublishMetrics {
    PublishMetrics(prometheus::Registry &registry, const std::string &gateway);

    prometheus::Counter &sent, &resent, &acked, &lost, &malformed, &epochs, &connects;
    prometheus::Gauge &backlog, &oldest, &connected;
};

#endif
