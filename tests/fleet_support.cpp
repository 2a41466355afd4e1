#include "fleet_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

const std::string publisher = SFPUBLISH_PATH;
const std::string collector = SFCOLLECT_PATH;

namespace {

const std::string mosquitto_path = "/usr/sbin/mosquitto";
const std::string losetup_path = "/sbin/losetup";

// The loop device file is now attached to; empty when it cannot be.
std::string attach(const std::string &file) {
    const Outcome attached = run(losetup_path, {"losetup", "-f", "--show", file});
    return attached.status == 0 ? lines_of(attached.out).at(0) : std::string();
}

}  // namespace

Broker::Broker(const TempDir &dir, const std::string &extra, bool persistence)
    : conf_(dir / "mosquitto.conf"), save_(dir / "mosquitto.db") {
    port_ = closed_port();
    const std::string saving =
        persistence ? "persistence true\npersistence_location " + dir.path + "/\n" : "persistence false\n";
    write_file(conf_, "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n" + saving +
                          "log_type error\n"
                          "user root\n"  // as root, it would give up root and could not read the test's files
                          "max_queued_messages 100000\n" +
                          extra);
    start();
}

void Broker::start() {
    process_ = std::make_unique<Process>(mosquitto_path, std::vector<std::string>{"mosquitto", "-c", conf_});
    if (!wait_for_listener(port_)) ADD_FAILURE() << "mosquitto did not start";
}

void Broker::kill_hard() {
    kill(process_->pid(), SIGKILL);
    process_->finish();
}

bool Broker::save() {
    std::remove(save_.c_str());
    kill(process_->pid(), SIGUSR1);
    for (int waited = 0; !file_exists(save_) && waited < wait_ms; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return file_exists(save_);
}

std::string shipped_acl(const TempDir &dir, const std::vector<std::string> &users) {
    const std::string passwords = dir / "passwd";
    write_file(passwords, "");
    for (const std::string &user : users)
        EXPECT_EQ(
            run("/usr/bin/mosquitto_passwd", {"mosquitto_passwd", "-b", passwords, user, user + "-secret"}).status, 0);
    return "allow_anonymous false\npassword_file " + passwords + "\nacl_file " + SF_SOURCE_DIR +
           "/packaging/mosquitto-central.acl\n";
}

std::string lines_from(int first, int count) {
    std::vector<Record> records;
    for (int i = first; i < first + count; ++i)
        records.push_back({1800000000000000LL + i,
                           std::string{static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)}});
    return log_of(records);
}

void append_file(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "ae");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

testing::AssertionResult wait_for_content(const std::string &path, const std::string &expected, int limit_ms) {
    return wait_for_content(path, std::vector<std::string>{expected}, limit_ms);
}

testing::AssertionResult wait_for_content(const std::string &path, const std::vector<std::string> &accepted,
                                          int limit_ms) {
    std::string held;
    for (int waited = 0; waited < limit_ms; waited += 10) {
        held = read_file(path);
        for (const std::string &expected : accepted)
            if (held == expected) return testing::AssertionSuccess();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::vector<std::string> got = lines_of(held);
    const std::vector<std::string> wanted = lines_of(accepted.front());
    std::size_t line = 0;
    while (line < got.size() && line < wanted.size() && got[line] == wanted[line]) ++line;
    return testing::AssertionFailure() << path << " holds " << got.size() << " lines, not " << wanted.size()
                                       << "; line " << line + 1 << " is \""
                                       << (line < got.size() ? got[line] : "(none)") << "\", not \""
                                       << (line < wanted.size() ? wanted[line] : "(none)") << "\"";
}

std::vector<std::string> collector_args(const Broker &broker, const std::string &dir) {
    return {"sfcollect", "-b", broker.url(), "-i", "central", dir};
}

std::unique_ptr<Process> start_collector(const Broker &broker, const std::string &dir) {
    return std::make_unique<Process>(collector, collector_args(broker, dir));
}

std::unique_ptr<Process> start_publisher(const Broker &broker, const std::string &log, bool once,
                                         const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"sfpublish", "-b", broker.url()};
    if (once) args.emplace_back("-e");
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"gw1", log});
    return std::make_unique<Process>(publisher, args);
}

void publish_raw(int port, const std::string &topic, const std::string &payload, const std::string &user, bool retain,
                 const std::vector<std::pair<std::string, std::string>> &properties) {
    publish_all(port, topic, {payload}, user, retain, properties);
    // Callers retry until the collector has subscribed: a pause between their tries.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void publish_all(int port, const std::string &topic, const std::vector<std::string> &payloads, const std::string &user,
                 bool retain, const std::vector<std::pair<std::string, std::string>> &properties) {
    mosquitto_lib_init();
    std::size_t acked = 0;
    mosquitto *client = mosquitto_new(nullptr, true, &acked);
    mosquitto_publish_callback_set(client, [](mosquitto *, void *count, int) { ++*static_cast<std::size_t *>(count); });
    if (!user.empty()) mosquitto_username_pw_set(client, user.c_str(), (user + "-secret").c_str());
    mosquitto_property *list = nullptr;
    for (const auto &property : properties)
        mosquitto_property_add_string_pair(&list, MQTT_PROP_USER_PROPERTY, property.first.c_str(),
                                           property.second.c_str());
    if (list != nullptr) mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    ASSERT_EQ(mosquitto_connect(client, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
    bool published = true;
    for (const std::string &payload : payloads) {
        int mid = 0;
        published = published && mosquitto_publish_v5(client, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                                      payload.data(), 1, retain, list) == MOSQ_ERR_SUCCESS;
    }
    mosquitto_property_free_all(&list);
    ASSERT_TRUE(published);
    // Until the broker has every one (its PUBACK), at most 30 s.
    for (int i = 0; i < 3000 && acked < payloads.size(); ++i) mosquitto_loop(client, 10, 1);
    EXPECT_EQ(acked, payloads.size()) << "the broker did not take every message";
    mosquitto_disconnect(client);
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
}

int metrics_port(Process &program) {
    const std::string line = program.read_line();
    const std::string start = "metrics on http://127.0.0.1:";
    if (line.rfind(start, 0) != 0) return 0;
    return static_cast<int>(std::strtol(line.c_str() + start.size(), nullptr, 10));
}

std::string http_get(int port, const std::string &path) {
    const int fd = connect_loopback(port);
    if (fd < 0) return "";
    send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return read_to_end(fd);
}

double sample_of(const std::string &page, const std::string &series) {
    const std::string start = "\n" + series + " ";
    const std::size_t at = page.find(start);
    if (at == std::string::npos) return -1;
    return std::strtod(page.c_str() + at + start.size(), nullptr);
}

std::string wait_for_sample(int port, const std::string &series, double value) {
    std::string page;
    for (int tries = 0; tries < 1000; ++tries) {
        page = http_get(port, "/metrics");
        if (sample_of(page, series) == value) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return page;
}

bool says_new_epoch(const std::string &line) {
    const std::string start = "sfpublish: starting epoch ";
    const std::string middle = " at line ";
    const std::string end = ", the first the gateway holds";
    return line.rfind(start, 0) == 0 && line.compare(start.size() + 16, middle.size(), middle) == 0 &&
           line.size() > end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0;
}

FleetDir::FleetDir() { mkdir(central.c_str(), 0755); }

LoopDisk::LoopDisk(const TempDir &dir, const std::string &folder)
    : image_(dir / "disk.img"), spacer_(dir / "spacer.img"), folder_(folder) {
    if (geteuid() != 0) {
        why_not = "mounting a loop device takes root";
        return;
    }
    write_file(image_, "");
    write_file(spacer_, "");
    if (truncate(image_.c_str(), 16 << 20) != 0 || truncate(spacer_.c_str(), 1 << 20) != 0) {
        why_not = "truncate: " + std::string(std::strerror(errno));
        return;
    }
    if (run("/sbin/mkfs.ext4", {"mkfs.ext4", "-q", image_}).status != 0) {
        why_not = "mkfs.ext4 failed";
        return;
    }
    const std::string device = attach(image_);
    if (device.empty()) {
        why_not = "losetup cannot attach a loop device here";
        return;
    }
    devices_.push_back(device);
    if (mount(device.c_str(), folder_.c_str(), "ext4", 0, nullptr) != 0)
        why_not = "cannot mount " + device + ": " + std::strerror(errno);
}

LoopDisk::~LoopDisk() {
    umount2(folder_.c_str(), MNT_DETACH);
    for (const std::string &device : devices_) run(losetup_path, {"losetup", "-d", device});
}

bool LoopDisk::move_device() {
    struct stat before {};
    if (stat(folder_.c_str(), &before) != 0 || umount(folder_.c_str()) != 0) {
        why_not = "cannot unmount " + folder_ + ": " + std::strerror(errno);
        return false;
    }
    for (const std::string &device : devices_) run(losetup_path, {"losetup", "-d", device});
    devices_ = {attach(spacer_)};  // takes the number the disk had
    const std::string device = attach(image_);
    devices_.push_back(device);
    if (device.empty() || mount(device.c_str(), folder_.c_str(), "ext4", 0, nullptr) != 0) {
        why_not = "cannot mount " + device + " again: " + std::strerror(errno);
        return false;
    }
    struct stat after {};
    if (stat(folder_.c_str(), &after) != 0 || after.st_dev == before.st_dev) {
        why_not = "the disk came back on the same device number";
        return false;
    }
    return true;
}
