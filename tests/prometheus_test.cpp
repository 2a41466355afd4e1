// The metrics as an operator sees them: a real Prometheus server scraping
// both programs every second while a gateway ships, asked through its HTTP
// API.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fleet_support.h"

namespace {

const std::string prometheus_path = "/usr/bin/prometheus";

// A Prometheus of the test's own on a free loopback port, scraping targets
// every second, with its data in the test's folder.
class Prometheus {
public:
    Prometheus(const TempDir &dir, int collect_port, int publish_port) : port_(closed_port()) {
        const std::string conf = dir / "prometheus.yml";
        write_file(conf,
                   "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                   "  - job_name: sfcollect\n    static_configs:\n      - targets: ['127.0.0.1:" +
                       std::to_string(collect_port) +
                       "']\n"
                       "  - job_name: sfpublish\n    static_configs:\n      - targets: ['127.0.0.1:" +
                       std::to_string(publish_port) + "']\n");
        process_ = std::make_unique<Process>(
            prometheus_path,
            std::vector<std::string>{"prometheus", "--config.file=" + conf, "--storage.tsdb.path=" + dir / "tsdb",
                                     "--web.listen-address=127.0.0.1:" + std::to_string(port_)});
    }
    ~Prometheus() { process_->stop(); }

    bool ready() const {
        if (!wait_for_listener(port_)) return false;
        for (int tries = 0; tries < 300; ++tries) {
            if (http_get(port_, "/-/ready").rfind("HTTP/1.1 200", 0) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // The value of an instant query with one result, or -1; the query
    // goes in as it is, so it must need no escaping but its braces and quotes.
    double query(const std::string &expression) const {
        std::string encoded;
        for (const char c : expression) {
            if (c == '{')
                encoded += "%7B";
            else if (c == '}')
                encoded += "%7D";
            else if (c == '"')
                encoded += "%22";
            else
                encoded += c;
        }
        const std::string answer = http_get(port_, "/api/v1/query?query=" + encoded);
        const std::size_t value = answer.find("\"value\":[");
        if (value == std::string::npos) return -1;
        const std::size_t quote = answer.find('"', answer.find(',', value));
        return quote == std::string::npos ? -1 : std::strtod(answer.c_str() + quote + 1, nullptr);
    }

    // Waits, scrape after scrape, until the query answers value.
    bool answers(const std::string &expression, double value) const {
        for (int tries = 0; tries < 200; ++tries) {
            if (query(expression) == value) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

private:
    int port_;
    std::unique_ptr<Process> process_;
};

TEST_F(Fleet, PrometheusSeesTheLinesShippedAndTheGatewayGoOffline) {
    if (access(prometheus_path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << prometheus_path << " (Debian: prometheus)";
    Broker broker(dir);
    Process collecting(collector,
                       {"sfcollect", "-b", broker.url(), "-i", "central", "--metrics", "127.0.0.1:0", central});
    const int collect_port = metrics_port(collecting);
    write_file(log, "");
    Process publishing(publisher, {"sfpublish", "-b", broker.url(), "--metrics", "127.0.0.1:0", "gw1", log});
    const int publish_port = metrics_port(publishing);
    ASSERT_NE(collect_port, 0);
    ASSERT_NE(publish_port, 0);
    Prometheus prometheus(dir, collect_port, publish_port);
    ASSERT_TRUE(prometheus.ready());

    for (int part = 0; part < 3; ++part) append_file(log, lines_from(part * 100, 100));
    EXPECT_TRUE(wait_for_content(central + "/gw1.log", lines_from(0, 300)));
    EXPECT_TRUE(prometheus.answers("sfcollect_lines_total{gateway=\"gw1\"}", 300));
    EXPECT_TRUE(prometheus.answers("sfpublish_lines_acked_total", 300));
    EXPECT_TRUE(prometheus.answers("sfcollect_gateway_online{gateway=\"gw1\"}", 1));

    publishing.stop();
    EXPECT_TRUE(prometheus.answers("sfcollect_gateway_online{gateway=\"gw1\"}", 0));
    collecting.stop();
}

}  // namespace
