#include "collect_metrics.h"

#include <chrono>

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

// A pass's two syncs: from a millisecond on a fast disk to seconds on a stalled one.
prometheus::Histogram::BucketBoundaries commit_buckets() {
    return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
}

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

CollectMetrics::CollectMetrics(prometheus::Registry &registry)
    : lines_(BuildCounter()
                 .Name("sfcollect_lines_total")
                 .Help("Lines appended to the gateway's archive.")
                 .Register(registry)),
      bytes_(BuildCounter()
                 .Name("sfcollect_bytes_total")
                 .Help("Bytes appended to the gateway's archive.")
                 .Register(registry)),
      duplicates_(BuildCounter()
                      .Name("sfcollect_duplicate_lines_total")
                      .Help("Lines of the gateway received again and dropped.")
                      .Register(registry)),
      epochs_(BuildCounter()
                  .Name("sfcollect_epochs_total")
                  .Help("Epochs of the gateway started in its archive.")
                  .Register(registry)),
      lost_(BuildCounter()
                .Name("sfcollect_lines_lost_total")
                .Help("Lines the gateway lost before they were archived, as its sfpublish told them.")
                .Register(registry)),
      refused_(BuildCounter()
                   .Name("sfcollect_payloads_refused_total")
                   .Help("Payloads dropped, by reason.")
                   .Register(registry)),
      last_packet_(
          BuildGauge()
              .Name("sfcollect_last_packet_timestamp_seconds")
              .Help("The timestamp of the newest archived line of the gateway, its packet's time at the gateway.")
              .Register(registry)),
      last_append_(BuildGauge()
                       .Name("sfcollect_last_append_timestamp_seconds")
                       .Help("When lines of the gateway were last appended.")
                       .Register(registry)),
      online_(BuildGauge()
                  .Name("sfcollect_gateway_online")
                  .Help("1 while the gateway's retained status is online, 0 once it is offline.")
                  .Register(registry)),
      commit_(BuildHistogram()
                  .Name("sfcollect_commit_duration_seconds")
                  .Help("Time of a pass's syncs: the archives, then the journal.")
                  .Register(registry)
                  .Add({}, commit_buckets())),
      connected_(BuildGauge()
                     .Name("sfcollect_broker_connected")
                     .Help("1 while connected to the broker.")
                     .Register(registry)
                     .Add({})),
      connects_(BuildCounter()
                    .Name("sfcollect_broker_connects_total")
                    .Help("Connections made to the broker.")
                    .Register(registry)
                    .Add({})) {}

CollectMetrics::Gateway &CollectMetrics::gateway(const std::string &name) {
    const auto found = gateways_.find(name);
    if (found != gateways_.end()) return found->second;
    const prometheus::Labels labels{{"gateway", name}};
    Gateway made{&lines_.Add(labels), &bytes_.Add(labels),       &duplicates_.Add(labels),  &epochs_.Add(labels),
                 &lost_.Add(labels),  &last_packet_.Add(labels), &last_append_.Add(labels), &online_.Add(labels)};
    return gateways_.emplace(name, made).first->second;
}

void CollectMetrics::appended(const std::string &name, std::uint64_t lines, std::size_t bytes, long long last_micros) {
    Gateway &g = gateway(name);
    g.lines->Increment(static_cast<double>(lines));
    g.bytes->Increment(static_cast<double>(bytes));
    g.last_packet->Set(static_cast<double>(last_micros) / 1e6);
    g.last_append->Set(now_seconds());
}

void CollectMetrics::duplicates(const std::string &name, std::uint64_t lines) {
    if (lines > 0) gateway(name).duplicates->Increment(static_cast<double>(lines));
}

void CollectMetrics::started_epoch(const std::string &name, std::uint64_t lost) {
    Gateway &g = gateway(name);
    g.epochs->Increment();
    g.lost->Increment(static_cast<double>(lost));
}

void CollectMetrics::status(const std::string &name, bool online) { gateway(name).online->Set(online ? 1 : 0); }

void CollectMetrics::refused(const char *reason) { refused_.Add({{"reason", reason}}).Increment(); }

void CollectMetrics::committed(double seconds) { commit_.Observe(seconds); }

void CollectMetrics::connected(bool up) {
    connected_.Set(up ? 1 : 0);
    if (up) connects_.Increment();
}
