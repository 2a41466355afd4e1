#include "metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <prometheus/registry.h>
#include <sys/socket.h>
#include <unistd.h>

#include "numbers.h"
#include "process_metrics.h"
#include "signals.h"

namespace {

// The server gives each connection a thread of its own until its request has
// come, so connections left idle (a port scan, a client that never asks) keep
// scrapes waiting. 128 threads take as many idle connections at once, for
// about 2 MB resident (100 KiB stacks in Debian's civetweb); each one beyond
// is dropped after the request time-out, so a scrape behind 256 idle
// connections still comes within Prometheus's default 10 s scrape timeout.
// A scraper sends its request at once: 5 s is ample even over a slow link.
const char server_threads[] = "128";
const char request_timeout_ms[] = "5000";

// Why address cannot be listened on, or empty: the exposer would say only
// that its server did not start.
std::string bind_problem(const MetricsAddress &address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as the exposer's server binds
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(address.port));
    inet_pton(AF_INET, address.host.c_str(), &where.sin_addr);
    std::string problem;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0)
        problem = std::string("bind: ") + std::strerror(errno);
    close(fd);
    return problem;
}

// volatile: a store to a variable nothing reads is otherwise left out, and
// LeakSanitizer would take the server for a leak.
prometheus::Exposer *volatile left_running = nullptr;  // see ~Metrics

}  // namespace

bool parse_metrics_address(const char *text, MetricsAddress &address) {
    const std::string all = text;
    const std::size_t colon = all.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = all.substr(0, colon);
    in_addr unused{};
    if (inet_pton(AF_INET, host.c_str(), &unused) != 1) return false;
    int port = 0;
    if (!parse_port(all.c_str() + colon + 1, true, port)) return false;
    address = {host, port};
    return true;
}

Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>()), process_(std::make_shared<ProcessMetrics>()) {}

// Stopping the exposer's server waits for its listening thread, which looks
// at its stop flag only between polls of two seconds: every exit would take
// that long. The program is ending, and those threads end with it; a scrape
// that comes meanwhile finds the registry gone and gets an empty page.
Metrics::~Metrics() { left_running = exposer_.release(); }

bool Metrics::serve(const MetricsAddress &address, std::string &error) {
    if (address.port < 0) return true;
    const std::string where = address.host + ":" + std::to_string(address.port);
    const std::string problem = bind_problem(address);
    if (!problem.empty()) {
        error = "--metrics " + where + ": " + problem;
        return false;
    }
    try {
        const SignalsBlocked blocked;  // in the server's threads
        exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
            "listening_ports", where, "num_threads", server_threads, "request_timeout_ms", request_timeout_ms});
    } catch (const std::exception &e) {
        error = "--metrics " + where + ": " + e.what();
    }
    if (!exposer_) return false;
    exposer_->RegisterCollectable(registry_);
    exposer_->RegisterCollectable(process_);
    const std::vector<int> ports = exposer_->GetListeningPorts();
    port_ = ports.empty() ? address.port : ports.front();
    std::printf("metrics on http://%s:%d/metrics\n", address.host.c_str(), port_);
    std::fflush(stdout);
    return true;
}
