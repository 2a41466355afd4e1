// sfreplay -f: a growing log served live to forwarder clients across rotation.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sfsource.h"
#include "support.h"

namespace {

const std::string replay = SFREPLAY_PATH;

int listening_port(Process &server) {
    const std::string line = server.read_line();
    const std::string prefix = "listening on 127.0.0.1:";
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    return line.size() > prefix.size() ? std::stoi(line.substr(prefix.size())) : 0;
}

// Appends each payload as its own line in one write, as sflogger does.
void append_lines(const std::string &log, const std::vector<std::string> &payloads) {
    static long long micros = 1800000000000000;
    for (const std::string &payload : payloads) {
        const std::string line = log_line({micros += 1234, payload});
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
    }
}

// Up to count packets, fewer when the stream ends or goes quiet for the time-out.
std::vector<std::string> receive(int fd, std::size_t count) {
    std::vector<std::string> got;
    while (got.size() < count) {
        int len = 0;
        void *packet = read_sf_packet(fd, &len);
        if (packet == nullptr) break;
        got.emplace_back(static_cast<const char *>(packet), static_cast<std::size_t>(len));
        std::free(packet);
    }
    return got;
}

int connect_client(int port) {
    const int fd = open_sf_source("127.0.0.1", port);
    if (fd >= 0) set_timeouts(fd);
    return fd;
}

// Runs the real logrotate over dir/gw.log with packaging/logrotate's settings.
void rotate_as_shipped(const TempDir &dir) {
    if (access("/usr/sbin/logrotate", X_OK) != 0) return;  // Debian: logrotate; the other rows still run
    write_file(dir / "logrotate.conf", dir / "gw.log" +
                                           " {\n daily\n rotate 28\n compress\n delaycompress\n missingok\n"
                                           " notifempty\n nocreate\n}\n");
    const Outcome outcome =
        run("/usr/sbin/logrotate", {"logrotate", "-f", "-s", dir / "logrotate.state", dir / "logrotate.conf"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
}

std::vector<std::string> batch(int tag) {
    std::vector<std::string> payloads = long_payloads(40, tag);
    payloads.insert(payloads.begin() + 10, "");
    payloads.push_back(all_bytes(255));
    return payloads;
}

TEST(Follow, ClientsGetExactlyTheLinesWrittenAfterTheyConnectedAcrossRotation) {
    TempDir dir;
    const std::string log = dir / "gw.log";
    append_lines(log, batch(1));  // before any client: never served
    Process server(replay, {"sfreplay", "-f", "0", log});
    const int port = listening_port(server);
    const int first = connect_client(port);
    ASSERT_GE(first, 0);

    struct Rotation {
        const char *name;
        std::function<void()> rotate;
    };
    const Rotation rotations[] = {
        {"none", [] {}},
        {"renamed away, a new log", [&] { ASSERT_EQ(rename(log.c_str(), (dir / "gw.log.moved").c_str()), 0); }},
        {"copytruncate",
         [&] {
             write_file(dir / "gw.log.copy", read_file(log));
             ASSERT_EQ(truncate(log.c_str(), 0), 0);
         }},
        {"removed and created again", [&] { ASSERT_EQ(unlink(log.c_str()), 0); }},
        {"logrotate with the shipped settings", [&] { rotate_as_shipped(dir); }},
        {"logrotate again: the file before compressed", [&] { rotate_as_shipped(dir); }},
    };
    int second = -1;
    int tag = 2;
    for (const Rotation &rotation : rotations) {
        SCOPED_TRACE(rotation.name);
        rotation.rotate();
        const std::vector<std::string> payloads = batch(tag++);
        append_lines(log, payloads);
        EXPECT_EQ(receive(first, payloads.size()), payloads);
        if (second >= 0) {
            EXPECT_EQ(receive(second, payloads.size()), payloads);
        } else {
            second = connect_client(port);  // from here on, a second client
            ASSERT_GE(second, 0);
        }
    }
    if (access("/usr/sbin/logrotate", X_OK) == 0) {
        EXPECT_TRUE(file_exists(dir / "gw.log.1") && file_exists(dir / "gw.log.2.gz")) << "logrotate did not rotate";
    }
    // Nothing more came than was written: the next packet is the next line.
    append_lines(log, {"\x7e"});
    EXPECT_EQ(receive(first, 1), std::vector<std::string>{"\x7e"});
    EXPECT_EQ(receive(second, 1), std::vector<std::string>{"\x7e"});
    close(first);
    close(second);
    server.stop();
    EXPECT_EQ(server.finish().err, "sfreplay: " + log + ": truncated or written anew; read again from its start\n");
}

TEST(Follow, ALogNotThereYetIsServedFromItsStart) {
    TempDir dir;
    const std::string log = dir / "gw.log";
    Process server(replay, {"sfreplay", "-f", "-1", "0", log});
    const int fd = connect_client(listening_port(server));
    ASSERT_GE(fd, 0);
    const std::vector<std::string> payloads = batch(9);
    append_lines(log, payloads);
    EXPECT_EQ(receive(fd, payloads.size()), payloads);
    close(fd);
    EXPECT_EQ(server.finish().status, 0) << "-1: it ends once its one client has left";
}

// Lines that come in one write, as sfcollect writes them, go out as far apart
// as their timestamps: the first at once, the next 150 ms and 300 ms later.
TEST(Follow, PacedLinesWrittenTogetherGoOutAsTheyWereStamped) {
    TempDir dir;
    const std::string log = dir / "gw.log";
    Process server(replay, {"sfreplay", "-f", "-t", "0", log});
    const int fd = connect_client(listening_port(server));
    ASSERT_GE(fd, 0);
    write_file(log, log_of({"\x01", "\x02", "\x03"}, 0.15));
    std::vector<std::chrono::steady_clock::time_point> arrived;
    for (const char *expected : {"\x01", "\x02", "\x03"}) {
        EXPECT_EQ(receive(fd, 1), std::vector<std::string>{expected});
        arrived.push_back(std::chrono::steady_clock::now());
    }
    EXPECT_GE(arrived[1] - arrived[0], std::chrono::milliseconds(140));
    EXPECT_GE(arrived[2] - arrived[0], std::chrono::milliseconds(290));
    close(fd);
    server.stop();
}

TEST(Follow, CommandLineErrors) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::string usage = "usage: sfreplay [-b ADDRESS] [-1] [-f | -l COUNT] [-t] [-x FACTOR] PORT FILE\n";
    const Case cases[] = {
        {{"sfreplay", "-f", "-l", "2", "0", dir / "gw.log"},
         2,
         "sfreplay: -l has no use with -f: a followed log has no end\n" + usage},
        {{"sfreplay", "-f", "0", dir / "no/gw.log"},
         1,
         "sfreplay: inotify_add_watch " + dir / "no" + ": No such file or directory\n"},
        {{"sfreplay", "-f", "0", dir.path}, 1, "sfreplay: " + dir.path + ": not a regular file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 1]);
        const Outcome outcome = run(replay, c.args);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.out, "");
    }
    write_file(dir / "secret.log", "");
    chmod((dir / "secret.log").c_str(), 0);
    const Outcome unreadable = run(replay, {"sfreplay", "-f", "0", dir / "secret.log"}, drop_file_privileges);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err, "sfreplay: " + dir / "secret.log" + ": Permission denied\n");
}

}  // namespace
