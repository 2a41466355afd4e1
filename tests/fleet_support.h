// What the fleet's process tests share: a mosquitto of the test's own, the
// gateway's log lines, and the two programs started against it.
#ifndef SF_TESTS_FLEET_SUPPORT_H
#define SF_TESTS_FLEET_SUPPORT_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

extern const std::string publisher;
extern const std::string collector;

// A mosquitto of the test's own on a free loopback port, stopped and started
// again on the same port. With persistence, it saves to the test's folder
// when asked (SIGUSR1) and when stopped, and restores that save when started.
class Broker {
public:
    explicit Broker(const TempDir &dir, const std::string &extra = "", bool persistence = false);
    void start();
    void kill_hard();
    // SIGUSR1: mosquitto writes its persistence file now; waits until it is
    // written, false when it is not.
    bool save();
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

private:
    std::string conf_;
    std::string save_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// The broker settings of the shipped ACL, with a password file that lets in
// each of users with the password USER-secret.
std::string shipped_acl(const TempDir &dir, const std::vector<std::string> &users);

// count log lines from first on, distinct.
std::string lines_from(int first, int count);
void append_file(const std::string &path, const std::string &text);
// Waits until path holds exactly expected, or one of accepted; after the
// time-out, fails saying where the file differs from the first of them.
testing::AssertionResult wait_for_content(const std::string &path, const std::string &expected,
                                          int limit_ms = 3 * wait_ms);
testing::AssertionResult wait_for_content(const std::string &path, const std::vector<std::string> &accepted,
                                          int limit_ms = 3 * wait_ms);

// sfcollect's command line for dir, with the client id central.
std::vector<std::string> collector_args(const Broker &broker, const std::string &dir);
std::unique_ptr<Process> start_collector(const Broker &broker, const std::string &dir);
// sfpublish for gateway gw1, with extra options.
std::unique_ptr<Process> start_publisher(const Broker &broker, const std::string &log, bool once = false,
                                         const std::vector<std::string> &extra = {});

// Publishes payload on topic at QoS 1, as user when given, and waits until
// the broker has it; under MQTT v5 when it has user properties (name, value).
void publish_raw(int port, const std::string &topic, const std::string &payload, const std::string &user = "",
                 bool retain = false, const std::vector<std::pair<std::string, std::string>> &properties = {});
// The same with each of payloads in turn, at once, without waiting for the broker between them.
void publish_all(int port, const std::string &topic, const std::vector<std::string> &payloads,
                 const std::string &user = "", bool retain = false,
                 const std::vector<std::pair<std::string, std::string>> &properties = {});

// The port a program started with --metrics 127.0.0.1:0 says it serves on; 0 when it does not.
int metrics_port(Process &program);
// The whole HTTP response to GET path on 127.0.0.1:port.
std::string http_get(int port, const std::string &path);
// The value of the sample named series (with its labels) in a metrics page; -1 when absent.
double sample_of(const std::string &page, const std::string &series);

// Waits until series on the page at port has value; the page at the end.
std::string wait_for_sample(int port, const std::string &series, double value);

// Whether line is sfpublish's word that it starts a new epoch at the first line the gateway holds.
bool says_new_epoch(const std::string &line);

// An ext4 image of the test's folder mounted on folder through a loop
// device for as long as it lives (root only): why_not says why it is not.
class LoopDisk {
public:
    LoopDisk(const TempDir &dir, const std::string &folder);
    ~LoopDisk();
    LoopDisk(const LoopDisk &) = delete;
    LoopDisk &operator=(const LoopDisk &) = delete;
    // Unmounts it and mounts it again through another loop device, as a disk
    // in another port: the same inodes on another device number. why_not
    // says why it is not.
    bool move_device();
    std::string why_not;

private:
    std::string image_;
    std::string spacer_;
    std::string folder_;
    std::vector<std::string> devices_;
};

// A folder with the central archive and the gateway's log.
struct FleetDir {
    FleetDir();
    TempDir dir;
    const std::string central = dir / "central";
    const std::string log = dir / "gw1.log";
};

class Fleet : public testing::Test, protected FleetDir {};

#endif
