#include "archive_capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fnmatch.h>
#include <poll.h>
#include <sys/stat.h>

#include "folder_names.h"
#include "folder_watch.h"
#include "log_line.h"
#include "log_tail.h"
#include "packet_log.h"
#include "pcapng_writer.h"
#include "signals.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds poll_time{10};  // the folder is looked at this often without inotify
const std::size_t batch = 65536;                    // of lines read from a log at a time
const int batches_per_turn = 16;                    // then the other gateways get theirs

struct Gateway {
    std::string name;
    std::uint32_t interface;
    std::unique_ptr<LogTail> tail;
    bool due = true;  // to be read at the next turn
    Clock::time_point retry = Clock::time_point::max();
};

class ArchiveCapture {
public:
    ArchiveCapture(const ArchiveOptions &options, int fd)
        : options_(options), fd_(fd), writer_(fd, "sfextcap " SF_VERSION), lines_(batch) {}
    bool run(std::string &error);

private:
    bool scan(std::string &error);
    void add_gateway(const std::string &file, LogTail::Start start);
    void on_change();
    void read_gateway(Gateway &g);
    int timeout_ms() const;

    ArchiveOptions options_;
    int fd_;
    PcapngWriter writer_;
    FolderWatch watch_;
    std::vector<Gateway> gateways_;
    std::vector<char> lines_;
};

void note(const std::string &text) { std::fprintf(stderr, "sfextcap: %s\n", text.c_str()); }

bool ArchiveCapture::scan(std::string &error) {
    std::vector<std::string> files;
    const auto is_gateway = [&](const std::string &name) { return !gateway_of(name, options_.pattern).empty(); };
    if (!list_folder(options_.folder, is_gateway, files, error)) return false;
    for (const std::string &file : files) add_gateway(file, LogTail::from_end);
    return true;
}

void ArchiveCapture::add_gateway(const std::string &file, LogTail::Start start) {
    Gateway g;
    g.name = gateway_of(file, options_.pattern);
    g.interface = writer_.add_interface(g.name, options_.linktype);
    g.tail = std::make_unique<LogTail>(options_.folder + "/" + file, start);
    g.tail->on_note = note;
    gateways_.push_back(std::move(g));
    // Its place is set now: with from_end, what is written after this is shown.
    std::size_t size = 0;
    gateways_.back().tail->read(lines_.data(), lines_.size(), size);
}

// A gateway not seen before is new: its log is shown from its start.
void ArchiveCapture::on_change() {
    watch_.drain([this](const char *name) {
        for (Gateway &g : gateways_)
            if (name == nullptr || g.tail->path().compare(options_.folder.size() + 1, std::string::npos, name) == 0)
                g.due = true;
        struct stat info {};
        if (name != nullptr && !gateway_of(name, options_.pattern).empty() &&
            std::none_of(gateways_.begin(), gateways_.end(),
                         [&](const Gateway &g) { return g.name == gateway_of(name, options_.pattern); }) &&
            stat((options_.folder + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            add_gateway(name, LogTail::from_start);
    });
}

void ArchiveCapture::read_gateway(Gateway &g) {
    g.due = false;
    g.retry = Clock::time_point::max();
    for (int turn = 0; turn < batches_per_turn; ++turn) {
        std::size_t size = 0;
        const LogTail::Result read = g.tail->read(lines_.data(), lines_.size(), size);
        if (read == LogTail::later) g.retry = g.tail->retry_at();
        if (read == LogTail::none && watch_.fd() < 0) g.retry = Clock::now() + poll_time;
        if (read != LogTail::lines) return;
        LogPacket packet;
        for (const char *at = lines_.data(), *end = at + size; at < end;) {
            const char *newline = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            if (const char *what = parse_log_line(at, newline, packet))
                note(g.tail->path() + ": byte " + std::to_string(g.tail->place() + (at - lines_.data())) + ": " + what +
                     ", passed over");
            else
                writer_.write_packet(g.interface, static_cast<std::uint64_t>(packet.micros), packet.bytes,
                                     static_cast<std::uint32_t>(packet.len));
            at = newline + 1;
        }
        g.tail->consume(size);
    }
    g.due = true;  // more waits: read at the next turn
}

int ArchiveCapture::timeout_ms() const {
    Clock::time_point first = Clock::time_point::max();
    for (const Gateway &g : gateways_) {
        if (g.due) return 0;
        first = std::min(first, g.retry);
    }
    if (watch_.fd() < 0) first = std::min(first, Clock::now() + poll_time);
    if (first == Clock::time_point::max()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count() + 1;
    return left < 0 ? 0 : left > 3600000 ? 3600000 : static_cast<int>(left);
}

bool ArchiveCapture::run(std::string &error) {
    if (!watch_.watch(options_.folder, error) || !scan(error)) return false;
    for (;;) {
        for (Gateway &g : gateways_)
            if (g.due || g.retry <= Clock::now() || watch_.fd() < 0) read_gateway(g);
        hold_ending_signals();  // a stopped capture ends after whole blocks
        const bool written = writer_.flush();
        release_ending_signals();
        if (!written) return true;  // Wireshark has stopped the capture
        // Wireshark's end of the FIFO closing wakes it too, with POLLERR.
        pollfd ready[2] = {{fd_, 0, 0}, {watch_.fd(), POLLIN, 0}};
        if (poll(ready, watch_.fd() >= 0 ? 2 : 1, timeout_ms()) < 0 && errno != EINTR) {
            error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if ((ready[0].revents & (POLLERR | POLLHUP)) != 0) return true;
        if ((ready[1].revents & POLLIN) != 0) on_change();
    }
}

}  // namespace

std::string gateway_of(const std::string &file, const std::string &pattern) {
    const std::string suffix = ".log";
    if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        return "";
    const std::string name = file.substr(0, file.size() - suffix.size());
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0 ? name : "";
}

bool capture_archive(const ArchiveOptions &options, int fd, std::string &error) {
    return ArchiveCapture(options, fd).run(error);
}
