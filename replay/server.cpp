#include "server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds handshake_time{10};  // a silent client is dropped then
const std::size_t chunk = 65536;                    // frames go out this many bytes to a write
const int writes_per_turn = 4;                      // then the other clients get theirs
const double max_wait_seconds = 1e9;                // a longer gap is waited for as this, within the clock's range
const unsigned char marker = 0x55;
const signed char our_version = 0x20;

struct Client {
    int fd = -1;
    bool ready = false;  // handshake done
    int got = 0;         // bytes of the client's pair so far
    unsigned char pair[2] = {};
    Clock::time_point deadline;  // of the handshake
    bool waiting = false;        // for due, with nothing to write
    bool out = false;            // asking epoll for room to write
    Clock::time_point due;       // when next may go out
    std::size_t at = 0;          // offset of the line after next, or of the next frame when sent from the frames file
    unsigned long long rounds = 0;
    bool has_next = false;
    long long last_micros = -1;  // timestamp of the frame before next, in this round
    LogPacket next;
    std::string pending;  // the part of a write the socket did not take
};

enum class Fill { full, waiting, done };

class Server {
public:
    Server(int listener, const ServedLog &log, const ServeOptions &options)
        : listener_(listener), log_(log), options_(options), scratch_(chunk) {}
    int run();

private:
    void accept_clients();
    void on_event(int fd, std::uint32_t events);
    void read_pair(Client &c);
    void pump(Client &c);
    void send_frames(Client &c);
    Fill fill(Client &c, std::size_t &used, Clock::time_point now);
    void schedule(Client &c, Clock::time_point now) const;
    void want_out(Client &c, bool out) const;
    void drop(Client &c);
    int timeout_ms(Clock::time_point now) const;
    void run_timers(Clock::time_point now);

    int listener_;
    const ServedLog &log_;
    ServeOptions options_;
    int epoll_ = -1;
    bool listening_ = true;
    bool served_ = false;  // with once: the one client is done
    std::vector<char> scratch_;
    std::unordered_map<int, Client> clients_;
};

bool add(int epoll, int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

int Server::run() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const int flags = fcntl(listener_, F_GETFL);
    if (epoll_ < 0 || flags < 0 || fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        !add(epoll_, listener_, EPOLLIN)) {
        std::fprintf(stderr, "sfreplay: epoll: %s\n", std::strerror(errno));
        return 1;
    }
    epoll_event events[64];
    while (!served_) {
        const int n = epoll_wait(epoll_, events, 64, timeout_ms(Clock::now()));
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "sfreplay: epoll: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n && !served_; ++i) {
            try {
                on_event(events[i].data.fd, events[i].events);
            } catch (const std::bad_alloc &) {
                std::fprintf(stderr, "sfreplay: out of memory: a client was dropped\n");
                const auto found = clients_.find(events[i].data.fd);
                if (found != clients_.end()) drop(found->second);
            }
        }
        run_timers(Clock::now());
    }
    return 0;
}

void Server::on_event(int fd, std::uint32_t events) {
    if (fd == listener_) return accept_clients();
    const auto found = clients_.find(fd);
    if (found == clients_.end()) return;
    Client &c = found->second;
    if ((events & (EPOLLERR | EPOLLHUP)) != 0) return drop(c);
    if ((events & EPOLLIN) != 0) {
        read_pair(c);
        if (clients_.count(fd) == 0) return;
    }
    if ((events & EPOLLOUT) != 0 && c.ready) pump(c);
}

void Server::accept_clients() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: leave the rest in the backlog until a client leaves.
                epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
                listening_ = false;
            }
            return;
        }
        Client *c = nullptr;
        try {
            c = &clients_[fd];
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "sfreplay: out of memory: a client was refused\n");
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a paced frame goes out at once
        const unsigned char us[2] = {marker, static_cast<unsigned char>(our_version)};
        if (send(fd, us, 2, MSG_NOSIGNAL) != 2 || !add(epoll_, fd, EPOLLIN)) {
            clients_.erase(fd);
            close(fd);
            continue;
        }
        c->fd = fd;
        c->deadline = Clock::now() + handshake_time;
    }
}

// Before the handshake: the client's pair. After it: whatever the client
// sends is dropped, and its end of the stream means it has gone.
void Server::read_pair(Client &c) {
    if (c.ready) {
        const ssize_t n = recv(c.fd, scratch_.data(), scratch_.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) drop(c);
        return;
    }
    const ssize_t n = recv(c.fd, c.pair + c.got, static_cast<std::size_t>(2 - c.got), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(c);
    c.got += static_cast<int>(n);
    if (c.got < 2) return;
    // Versions compare as signed bytes: 0x80 and above count as below ours.
    if (c.pair[0] != marker || static_cast<signed char>(c.pair[1]) < our_version) return drop(c);
    if (options_.once && listener_ < 0) return drop(c);  // the one client is being served
    c.ready = true;
    c.due = Clock::now();
    if (options_.once) {
        close(listener_);  // also takes it out of epoll
        listening_ = false;
        listener_ = -1;
    }
    pump(c);
}

// Moves the due time on by the gap from the frame before, at the chosen speed.
// A step backwards, or the first frame of a round, goes at once.
void Server::schedule(Client &c, Clock::time_point now) const {
    const long long gap = c.last_micros < 0 ? 0 : c.next.micros - c.last_micros;
    c.last_micros = c.next.micros;
    if (gap <= 0) return;
    const double ahead =
        std::chrono::duration<double>(c.due - now).count() + static_cast<double>(gap) / 1e6 / options_.factor;
    const double wait = ahead < max_wait_seconds ? ahead : max_wait_seconds;
    c.due = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
}

// Puts frames into scratch behind used until it is full, the next frame is
// not due yet, or every round has been sent.
Fill Server::fill(Client &c, std::size_t &used, Clock::time_point now) {
    for (;;) {
        if (!c.has_next) {
            if (c.at == log_.size) {
                if (log_.size == 0 || (options_.loops != 0 && ++c.rounds >= options_.loops)) return Fill::done;
                c.at = 0;
                c.last_micros = -1;
            }
            next_packet(log_, c.at, c.next);
            c.has_next = true;
            if (options_.timed) schedule(c, now);
        }
        if (options_.timed && c.due > now) return Fill::waiting;
        const std::size_t size = 1 + static_cast<std::size_t>(c.next.len);
        if (scratch_.size() - used < size) return Fill::full;
        scratch_[used] = static_cast<char>(c.next.len);
        std::memcpy(&scratch_[used + 1], c.next.bytes, size - 1);
        used += size;
        c.has_next = false;
    }
}

// Without pacing, frames go out straight from the frames file, with no
// parsing and no copy through this process.
void Server::send_frames(Client &c) {
    for (int turn = 0; turn < writes_per_turn; ++turn) {
        if (c.at == log_.frames_size) {
            if (log_.frames_size == 0 || (options_.loops != 0 && ++c.rounds >= options_.loops)) {
                if (options_.once) served_ = true;
                return drop(c);
            }
            c.at = 0;
        }
        auto offset = static_cast<off_t>(c.at);
        const ssize_t n = sendfile(c.fd, log_.frames, &offset, log_.frames_size - c.at);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return want_out(c, true);
        if (n <= 0) return drop(c);
        c.at = static_cast<std::size_t>(offset);
    }
    want_out(c, true);  // more to send once the others have had their turn
}

void Server::pump(Client &c) {
    if (!options_.timed && log_.frames >= 0) return send_frames(c);
    const Clock::time_point now = Clock::now();
    c.waiting = false;
    for (int turn = 0; turn < writes_per_turn; ++turn) {
        const char *data = c.pending.data();
        std::size_t size = c.pending.size();
        Fill state = Fill::full;
        if (size == 0) {
            state = fill(c, size, now);
            data = scratch_.data();
        }
        const ssize_t n = size == 0 ? 0 : send(c.fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return drop(c);
        const std::size_t sent = n < 0 ? 0 : static_cast<std::size_t>(n);
        if (sent < size) {
            c.pending.assign(data + sent, size - sent);
            return want_out(c, true);
        }
        c.pending.clear();
        if (data != scratch_.data()) continue;
        if (state == Fill::done) {
            if (options_.once) served_ = true;
            return drop(c);
        }
        if (state == Fill::waiting) {
            c.waiting = true;
            return want_out(c, false);
        }
    }
    want_out(c, true);  // more to send once the others have had their turn
}

void Server::want_out(Client &c, bool out) const {
    if (c.out == out) return;
    epoll_event event{};
    event.events = EPOLLIN | (out ? EPOLLOUT : 0U);
    event.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
    c.out = out;
}

void Server::drop(Client &c) {
    if (options_.once && c.ready) served_ = true;  // one that leaves early was served too
    // Unread bytes at close would send a reset, which may cost the client the
    // last frames still on their way.
    while (recv(c.fd, scratch_.data(), scratch_.size(), 0) > 0) {
    }
    close(c.fd);  // also takes it out of epoll
    clients_.erase(c.fd);
    if (!listening_ && listener_ >= 0 && add(epoll_, listener_, EPOLLIN)) listening_ = true;
}

int Server::timeout_ms(Clock::time_point now) const {
    Clock::time_point first = Clock::time_point::max();
    for (const auto &entry : clients_) {
        const Client &c = entry.second;
        if (!c.ready && c.deadline < first) first = c.deadline;
        if (c.waiting && c.due < first) first = c.due;
    }
    if (first == Clock::time_point::max()) return -1;
    if (first <= now) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - now).count() + 1;
    return left > 3600000 ? 3600000 : static_cast<int>(left);
}

void Server::run_timers(Clock::time_point now) {
    std::vector<int> due;
    for (const auto &entry : clients_) {
        const Client &c = entry.second;
        if ((!c.ready && c.deadline <= now) || (c.waiting && c.due <= now)) due.push_back(entry.first);
    }
    for (int fd : due) {
        if (served_) return;
        const auto found = clients_.find(fd);
        if (found == clients_.end()) continue;
        if (found->second.ready)
            pump(found->second);
        else
            drop(found->second);
    }
}

}  // namespace

int serve_clients(int listener, const ServedLog &log, const ServeOptions &options) {
    return Server(listener, log, options).run();
}
