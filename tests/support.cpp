#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log_line.h"

std::string frame(const std::string &payload) { return std::string(1, static_cast<char>(payload.size())) + payload; }

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

std::string all_bytes(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += static_cast<char>(i);
    return out;
}

std::string hex_of(const std::string &payload) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : payload) out += {digits[byte >> 4], digits[byte & 0xF], ' '};
    return out;
}

std::vector<std::string> long_payloads(int count, int tag) {
    std::vector<std::string> payloads;
    for (int i = 0; i < count; ++i) {
        std::string payload = all_bytes(255);
        payload[0] = static_cast<char>(tag);
        payload[1] = static_cast<char>(i >> 8);
        payload[2] = static_cast<char>(i);
        payloads.push_back(payload);
    }
    return payloads;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string log_line(const Record &record) {
    char line[max_log_line];
    const timeval when{static_cast<time_t>(record.micros / 1000000), static_cast<suseconds_t>(record.micros % 1000000)};
    return std::string(line, format_log_line(line, when, reinterpret_cast<const unsigned char *>(record.bytes.data()),
                                             static_cast<int>(record.bytes.size())));
}

std::string log_of(const std::vector<Record> &records) {
    std::string text;
    for (const Record &record : records) text += log_line(record);
    return text;
}

std::string log_of(const std::vector<std::string> &payloads, double step) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < payloads.size(); ++i)
        records.push_back({std::llround((1000.0 + step * static_cast<double>(i)) * 1e6), payloads[i]});
    return log_of(records);
}

void set_timeouts(int fd) {
    const timeval limit{wait_ms / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Pair::Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    client = fds[0];
    peer = fds[1];
    set_timeouts(client);
    set_timeouts(peer);
}

Pair::~Pair() {
    if (client >= 0) close(client);
    if (peer >= 0) close(peer);
}

void send_all(int fd, const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "send: " << std::strerror(errno);
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string read_some(int fd, std::size_t count) {
    std::string out(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, &out[done], count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return out;
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(dir);
    return names;
}

int count_open_fds() {
    const std::size_t count = names_in("/proc/self/fd").size();
    return count == 0 ? -1 : static_cast<int>(count) - 1;  // the directory's own descriptor
}

namespace {

int listen_loopback(int &port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ADD_FAILURE() << "listen on loopback: " << std::strerror(errno);
        return fd;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

Forwarder::Forwarder(std::function<void(int fd)> script) {
    listener_ = listen_loopback(port_);
    thread_ = std::thread([this, script = std::move(script)] {
        pollfd ready{listener_, POLLIN, 0};
        if (poll(&ready, 1, wait_ms) != 1) return;  // nobody came; the test decides if that is wrong
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        set_timeouts(fd);
        script(fd);
        close(fd);
    });
}

void Forwarder::join() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

Forwarder::~Forwarder() { join(); }

void handshake(int fd, const std::string &reply) {
    EXPECT_EQ(read_some(fd, 2), "U ");
    send_all(fd, reply);
}

std::function<void(int fd)> send_frames(const std::vector<std::string> &payloads) {
    std::string frames;
    for (const std::string &payload : payloads) frames += frame(payload);
    return [frames](int fd) {
        handshake(fd);
        for (std::size_t done = 0; done < frames.size();) {
            const ssize_t n = send(fd, frames.data() + done, frames.size() - done, MSG_NOSIGNAL);
            if (n <= 0 && errno != EINTR) return;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
    };
}

int closed_port() {
    int port = 0;
    close(listen_loopback(port));
    return port;
}

namespace {

int try_connect(int port, int window) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && window > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int saved = errno;
        if (fd >= 0) close(fd);
        errno = saved;
        return -1;
    }
    set_timeouts(fd);
    return fd;
}

}  // namespace

int connect_loopback(int port, int window) {
    const int fd = try_connect(port, window);
    if (fd < 0) ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
    return fd;
}

bool wait_for_listener(int port) {
    for (int waited = 0; waited < wait_ms; waited += 10) {
        const int fd = try_connect(port, 0);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int take_socket(pid_t pid, int peer_port) {
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (process < 0) return -1;
    int found = -1;
    for (int fd = 0; fd < 1024 && found < 0; ++fd) {
        const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, process, fd, 0));
        if (copy < 0) {
            if (errno == EBADF) continue;
            break;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(copy, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == peer_port)
            found = copy;
        else
            close(copy);
    }
    const int saved = errno;
    close(process);
    errno = saved;
    return found;
}

std::string read_to_end(int fd, bool one_line) {
    std::string got;
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, wait_ms) == 1) {
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, static_cast<std::size_t>(n));
        if (one_line && got.find('\n') != std::string::npos) break;
    }
    close(fd);
    return got;
}

TempDir::TempDir() {
    char name[] = "/tmp/sftest.XXXXXX";
    if (mkdtemp(name) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path = name;
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) ADD_FAILURE() << "could not remove " << path << ": " << error.message();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &data) { std::ofstream(path, std::ios::binary) << data; }

bool file_exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool wait_for_lines(const std::string &path, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = read_file(path);
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

namespace {

std::chrono::milliseconds left_until(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}

// Reads both pipes to their ends, or until the deadline passes.
bool drain(int out_fd, int err_fd, Outcome &outcome, std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&outcome.out, &outcome.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = left_until(deadline);
        if (left.count() <= 0) return false;
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    return true;
}

}  // namespace

void drop_file_privileges() {
    if (geteuid() == 0 && (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                           prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
        _exit(125);
}

ChildSetup stdin_from(const std::string &path) {
    return [path] {
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0 || dup2(fd, STDIN_FILENO) < 0) _exit(126);
    };
}

Process::Process(const std::string &program, const std::vector<std::string> &args, const ChildSetup &setup) {
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (setup) setup();
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

Process::~Process() {
    if (pid_ > 0) stop();
}

std::string Process::read_line() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::string &out = outcome_.out;
    for (;;) {
        const std::size_t end = out.find('\n');
        if (end != std::string::npos) {
            std::string line = out.substr(0, end);
            out.erase(0, end + 1);
            return line;
        }
        pollfd ready{out_, POLLIN, 0};
        const auto left = left_until(deadline);
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return "";
        char chunk[256];
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return "";
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

Outcome Process::finish() {
    if (pid_ <= 0) return outcome_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * wait_ms);
    const bool finished = drain(out_, err_, outcome_, deadline);
    close(out_);
    close(err_);
    if (!finished) {
        kill(pid_, SIGKILL);
        ADD_FAILURE() << "a child process did not finish in time";
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    outcome_.status = finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return outcome_;
}

void Process::stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    finish();
}

Outcome run(const std::string &program, const std::vector<std::string> &args, const ChildSetup &setup) {
    return Process(program, args, setup).finish();
}

Command tshark_with_extcap(const TempDir &dir, const std::string &extcap, const std::vector<std::string> &args) {
    chmod(dir.path.c_str(), 0755);
    mkdir((dir / "extcap").c_str(), 0755);
    std::filesystem::copy_file(extcap, dir / "extcap/sfextcap", std::filesystem::copy_options::overwrite_existing);
    chmod((dir / "extcap/sfextcap").c_str(), 0755);
    Command command{"/usr/bin/env",
                    {"env", "HOME=" + dir.path, "WIRESHARK_EXTCAP_DIR=" + dir / "extcap", "/usr/bin/tshark"}};
    if (geteuid() == 0) {
        command.program = "/usr/bin/setpriv";
        command.args.insert(command.args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    command.args.insert(command.args.end(), args.begin(), args.end());
    return command;
}
