// sfextcap's sfarchive interface under a live tshark: every gateway of a
// collector's folder as it is written, rotated and joined by new gateways.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_capture.h"
#include "support.h"

namespace {

const std::string extcap = SFEXTCAP_PATH;
const std::string tshark = "/usr/bin/tshark";

void append(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// What tshark prints for a record: "NAME\tSECONDS.NANOS\tHEX".
std::string shown(const std::string &gateway, const Record &record) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "\t%lld.%06lld000\t", record.micros / 1000000, record.micros % 1000000);
    std::string hex = hex_of(record.bytes);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return gateway + stamp + hex;
}

TEST(ArchiveCapture, GatewaysOfAFolder) {
    struct Case {
        const char *file;
        const char *pattern;
        const char *gateway;
    };
    const Case cases[] = {
        {"gw1.log", "*", "gw1"},      {"site.a.gw1.log", "*", "site.a.gw1"},
        {"gw1.log", "gw*", "gw1"},    {"other.log", "gw*", ""},
        {"gw1.log.1", "*", ""},  // logrotate's
        {"gw1.log.2.gz", "*", ""},    {"gw1.log-20261209", "*", ""},
        {"gw1.LOG", "*", ""},         {".log", "*", ""},
        {".hidden.log", "*", ""},  // as the shell leaves it out
        {"gw1.log", "gw[12]", "gw1"}, {"gw3.log", "gw[12]", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.pattern);
        EXPECT_EQ(gateway_of(c.file, c.pattern), c.gateway);
    }
}

TEST(ArchiveCapture, LiveTsharkShowsEveryGatewayAcrossRotation) {
    if (access(tshark.c_str(), X_OK) != 0) GTEST_SKIP() << "no tshark here (Debian: tshark)";
    TempDir dir;
    mkdir((dir / "central").c_str(), 0755);
    const std::string central = dir / "central";
    const auto log = [&](const std::string &name) { return central + "/" + name; };
    append(log("gw1.log"), log_line({1000001, "\x01"}));  // before the capture: not shown
    append(log("gw2.log"), log_line({1000002, "\x02"}));

    const Command command = tshark_with_extcap(
        dir, extcap,
        {"-l", "-i", "sfarchive", "-o", "extcap.sfarchive.archive:" + central, "-o", "extcap.sfarchive.pattern:gw*",
         "-T", "fields", "-e", "frame.interface_name", "-e", "frame.time_epoch", "-e", "data"});
    Process capture(command.program, command.args);
    // Probe lines (0xEE) until one is shown: from then on, every line counts.
    std::atomic<bool> live{false};
    std::thread probing([&] {
        for (int i = 0; i < 600 && !live; ++i) {
            append(log("gw1.log"), log_line({1500000 + i, "\xEE"}));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::string line = capture.read_line();
    for (int tries = 0; line.empty() && tries < 2; ++tries) line = capture.read_line();  // tshark starts slowly
    live = true;
    probing.join();
    ASSERT_FALSE(line.empty()) << "tshark showed nothing";

    std::map<std::string, std::vector<std::string>> expected;
    std::map<std::string, std::vector<std::string>> got;
    std::size_t wanted = 0;
    std::size_t received = 0;
    long long micros = 2000000000000000;
    const auto write_lines = [&](const std::string &gateway, int count) {
        for (int i = 0; i < count; ++i) {
            const Record record{micros += 1000001, i == 3 ? "" : i == 4 ? all_bytes(255) : std::string(1 + i, 'a')};
            append(log(gateway + ".log"), log_line(record));
            if (gateway != "other") {
                expected[gateway].push_back(shown(gateway, record));
                ++wanted;
            }
        }
    };
    // Reads until every line written so far has been shown.
    const auto catch_up = [&] {
        while (received < wanted) {
            line = capture.read_line();
            if (line.empty()) return;
            if (line.size() > 3 && line.compare(line.size() - 3, 3, "\tee") == 0) continue;  // a probe
            got[line.substr(0, line.find('\t'))].push_back(line);
            ++received;
        }
    };
    struct Step {
        const char *name;
        std::function<void()> act;
    };
    const auto rotate = [&](const std::string &from, const std::string &to) {
        ASSERT_EQ(rename(log(from).c_str(), log(to).c_str()), 0);
    };
    const Step steps[] = {
        {"lines in each log, and in one the pattern leaves out",
         [&] {
             write_lines("gw1", 6);
             write_lines("gw2", 6);
             write_lines("other", 3);
         }},
        {"gw1 renamed away, a new log",
         [&] {
             rotate("gw1.log", "gw1.log.1");
             write_lines("gw1", 6);
         }},
        {"a new gateway", [&] { write_lines("gw3", 6); }},
        {"gw2 copied and truncated",
         [&] {
             write_file(log("gw2.log.1"), read_file(log("gw2.log")));
             ASSERT_EQ(truncate(log("gw2.log").c_str(), 0), 0);
             write_lines("gw2", 6);
         }},
        {"logrotate with the shipped settings over the folder",
         [&] {
             if (access("/usr/sbin/logrotate", X_OK) == 0) {
                 write_file(dir / "logrotate.conf", central +
                                                        "/*.log {\n daily\n rotate 28\n compress\n"
                                                        " delaycompress\n missingok\n notifempty\n nocreate\n}\n");
                 const Outcome rotated = run(
                     "/usr/sbin/logrotate", {"logrotate", "-f", "-s", dir / "logrotate.state", dir / "logrotate.conf"});
                 ASSERT_EQ(rotated.status, 0) << rotated.err;
             }
             write_lines("gw2", 3);
             write_lines("gw1", 3);
             write_lines("gw3", 3);
         }},
        {"gw3 removed and made again",
         [&] {
             ASSERT_EQ(unlink(log("gw3.log").c_str()), 0);
             write_lines("gw3", 6);
             write_lines("gw1", 2);
         }},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        catch_up();
        ASSERT_EQ(received, wanted);
    }
    capture.stop();
    const Outcome outcome = capture.finish();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(lines_of(outcome.out), std::vector<std::string>{}) << "more was shown than written";
}

// Wireshark stops a capture by closing its end of the FIFO: the capture
// ends then, though no log changes.
TEST(ArchiveCapture, EndsWhenWiresharkClosesItsEnd) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    append(dir / "gw1.log", log_line({1000001, "\x01"}));
    Process capture(extcap, {"sfextcap", "--capture", "--extcap-interface", "sfarchive", "--fifo", dir / "fifo",
                             "--archive", dir.path});
    const int fd = open((dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char header[4] = {};
    EXPECT_EQ(read(fd, header, sizeof header), 4);
    EXPECT_EQ(std::string(header, 4), std::string("\x0a\x0d\x0d\x0a", 4)) << "a pcapng section header";
    close(fd);
    const Outcome outcome = capture.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST(ArchiveCapture, CaptureThatCannotBeginSaysWhy) {
    TempDir dir;
    write_file(dir / "fifo", "");  // what Wireshark would read
    struct Case {
        std::string archive;
        std::string linktype;
        std::string err;
    };
    const Case cases[] = {
        {dir / "none", "147", "sfextcap: inotify_add_watch " + dir / "none" + ": No such file or directory\n"},
        {dir.path, "NO_SUCH_TYPE", "sfextcap: unknown link type NO_SUCH_TYPE\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        const Outcome outcome = run(extcap, {"sfextcap", "--capture", "--extcap-interface", "sfarchive", "--fifo",
                                             dir / "fifo", "--archive", c.archive, "--linktype", c.linktype});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, c.err);
    }
}

}  // namespace
