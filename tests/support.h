// Helpers for tests that need real sockets, processes and files. Every wait is
// bounded, so a broken peer makes a test fail instead of hang.
#ifndef SF_TESTS_SUPPORT_H
#define SF_TESTS_SUPPORT_H

#include <sys/types.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Upper bound on any single wait in the tests.
constexpr int wait_ms = 10000;

std::string frame(const std::string &payload);
std::string bytes(std::initializer_list<int> values);
std::string all_bytes(int count);                // 00 01 02 ... count bytes
std::string hex_of(const std::string &payload);  // "xx " per byte, as in the log
// Distinct payloads of 255 bytes: the first byte is tag, the next two count.
// Their lines are about 800 bytes, so writes often cross a page boundary.
std::vector<std::string> long_payloads(int count, int tag = 0);
std::vector<std::string> lines_of(const std::string &text);

// A packet and its timestamp, as one line of a log holds them.
struct Record {
    long long micros;
    std::string bytes;
};
std::string log_line(const Record &record);  // in sflogger's format
std::string log_of(const std::vector<Record> &records);
// The payloads stamped step seconds apart from 1000 s on.
std::string log_of(const std::vector<std::string> &payloads, double step = 1.0);

// Gives both ends of a stream socketpair send and receive time-outs.
struct Pair {
    Pair();
    ~Pair();
    int client = -1;
    int peer = -1;
};

void set_timeouts(int fd);
void send_all(int fd, const std::string &data);
std::string read_some(int fd, std::size_t count);  // up to count bytes, less at end or time-out
int count_open_fds();
// The names in folder but . and ..; none when it cannot be read.
std::vector<std::string> names_in(const std::string &folder);

// A forwarder on 127.0.0.1 with a port the system picked. It serves one client
// with script in a thread of its own; the connection closes when script returns.
class Forwarder {
public:
    explicit Forwarder(std::function<void(int fd)> script);
    ~Forwarder();
    Forwarder(const Forwarder &) = delete;
    Forwarder &operator=(const Forwarder &) = delete;
    int port() const { return port_; }
    void join();

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A forwarder's script: the handshake, then payloads as frames in one write. A
// client that leaves early is not an error.
std::function<void(int fd)> send_frames(const std::vector<std::string> &payloads);
inline Forwarder serving(const std::vector<std::string> &payloads) { return Forwarder(send_frames(payloads)); }

// Reads the client's pair (it must be "U ") and answers with reply.
void handshake(int fd, const std::string &reply = "U ");
// A port on 127.0.0.1 where nothing listens.
int closed_port();
// A client socket connected to 127.0.0.1:port, with time-outs; -1 on failure.
// A receive buffer of window bytes, when given, is set before connecting.
int connect_loopback(int port, int window = 0);
// Waits until something listens on 127.0.0.1:port; false after the time-out.
bool wait_for_listener(int port);
// A copy of the socket of process pid whose peer has port peer_port on
// 127.0.0.1, taken with pidfd_getfd; -1 where the kernel or the test's
// privileges do not allow it, with errno saying why.
int take_socket(pid_t pid, int peer_port);
// Reads a descriptor until its writer closes it (or after the first line, if
// one_line), then closes it.
std::string read_to_end(int fd, bool one_line = false);

struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);
// Waits until path holds at least count lines; false after the time-out.
bool wait_for_lines(const std::string &path, std::size_t count);

struct Outcome {
    int status = -1;  // exit status, or -1 when killed or it timed out
    int signal = 0;   // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// Runs in the child before exec, after its output pipes are in place; only
// async-signal-safe calls (setrlimit, close, prctl), since the parent has threads.
using ChildSetup = std::function<void()>;
// Takes away a root child's power to bypass file permissions.
void drop_file_privileges();
// A setup that gives the child path as its standard input.
ChildSetup stdin_from(const std::string &path);

// A program running with its standard output and error on pipes.
class Process {
public:
    Process(const std::string &program, const std::vector<std::string> &args, const ChildSetup &setup = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    // The first line of standard output, without its newline; empty at end or time-out.
    std::string read_line();
    // Reads both pipes to their ends and waits for the exit; kills it after the time-out.
    Outcome finish();
    void stop();  // SIGTERM, then finish
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    Outcome outcome_;
};

// Runs program with args (args[0] is what it sees as its name) to its end.
Outcome run(const std::string &program, const std::vector<std::string> &args, const ChildSetup &setup = {});

// A program to run, and its arguments from args[0] on.
struct Command {
    std::string program;
    std::vector<std::string> args;
};
// tshark with args, and the extcap program extcap copied to dir/extcap,
// where it finds it. tshark runs no extcap program for root, so as root it
// runs as nobody, and dir is opened to all: the build tree may be closed to
// nobody.
Command tshark_with_extcap(const TempDir &dir, const std::string &extcap, const std::vector<std::string> &args);

#endif
