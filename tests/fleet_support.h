// Helpers for the fleet's process tests: a mosquitto of the test's own, log
// lines, and raw publishing.
#ifndef SF_TESTS_FLEET_SUPPORT_H
#define SF_TESTS_FLEET_SUPPORT_H

#include <memory>
#include <string>

#include "support.h"

// A mosquitto of the test's own, stopped and started again on the same port.
class Broker {
public:
    explicit Broker(const TempDir &dir, const std::string &extra = "");
    void start();
    void kill_hard();
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

private:
    std::string conf_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// count log lines from first on, distinct.
std::string lines_from(int first, int count);

void append_file(const std::string &path, const std::string &text);

// Waits until path holds exactly expected; false after the time-out.
bool wait_for_content(const std::string &path, const std::string &expected, int limit_ms = 3 * wait_ms);

// Publishes payload on topic at QoS 1, as user when given, and waits until
// the broker has it.
void publish_raw(int port, const std::string &topic, const std::string &payload, const std::string &user = "",
                 bool retain = false);

#endif
