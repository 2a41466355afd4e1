#include "publish_metrics.h"

namespace {

prometheus::Counter &counter(prometheus::Registry &registry, const prometheus::Labels &labels, const char *name,
                             const char *help) {
    return prometheus::BuildCounter().Name(name).Help(help).Labels(labels).Register(registry).Add({});
}

prometheus::Gauge &gauge(prometheus::Registry &registry, const prometheus::Labels &labels, const char *name,
                         const char *help) {
    return prometheus::BuildGauge().Name(name).Help(help).Labels(labels).Register(registry).Add({});
}

}  // namespace

PublishMetrics::PublishMetrics(prometheus::Registry &registry, const std::string &gateway)
    : sent(counter(registry, {{"gateway", gateway}}, "sfpublish_lines_sent_total", "Lines sent for the first time.")),
      resent(counter(registry, {{"gateway", gateway}}, "sfpublish_lines_resent_total",
                     "Lines sent again: after a reconnection, a gap the collector saw, or its silence.")),
      acked(counter(registry, {{"gateway", gateway}}, "sfpublish_lines_acked_total",
                    "Lines the collector acknowledged as on its disk.")),
      lost(counter(registry, {{"gateway", gateway}}, "sfpublish_lines_lost_total",
                   "Lines gone from the gateway before the collector acknowledged them.")),
      malformed(counter(registry, {{"gateway", gateway}}, "sfpublish_malformed_lines_total",
                        "Malformed lines and overlong runs of the log, passed over.")),
      epochs(counter(registry, {{"gateway", gateway}}, "sfpublish_epochs_total", "Epochs started.")),
      connects(counter(registry, {{"gateway", gateway}}, "sfpublish_broker_connects_total",
                       "Connections made to the broker.")),
      backlog(gauge(registry, {{"gateway", gateway}}, "sfpublish_backlog_bytes",
                    "Bytes of the log's files, rotated ones included, not yet acknowledged.")),
      oldest(gauge(registry, {{"gateway", gateway}}, "sfpublish_oldest_unacked_timestamp_seconds",
                   "The timestamp of the first line not yet acknowledged; 0 when all are.")),
      connected(
          gauge(registry, {{"gateway", gateway}}, "sfpublish_broker_connected", "1 while connected to the broker.")) {}
