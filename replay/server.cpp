#include "server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
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

#include "log_line.h"
#include "log_tail.h"
#include "sf_handshake.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds handshake_time{10};  // a silent client is dropped then
const std::size_t chunk = 65536;                    // frames go out this many bytes to a write
const int writes_per_turn = 4;                      // then the other clients get theirs
const double max_wait_seconds = 1e9;                // a longer gap is waited for as this, within the clock's range
constexpr std::chrono::milliseconds poll_time{10};  // a followed log is looked at this often without inotify
const std::size_t recent_notes = 64;                // notes told this recently are not told again for another client

struct Client {
    enum State {
        greeting,  // until its pair has come
        serving,
        closing  // dropped; closed once the current batch of events is done
    };
    State state = greeting;
    int fd = -1;
    int got = 0;  // bytes of the client's pair so far
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
    std::string pending;            // the part of a write the socket did not take, sent before anything new
    std::unique_ptr<LogTail> tail;  // of a followed log
    bool idle = false;              // has had every line written so far, and waits for more
    Clock::time_point retry;        // when an idle client's log is looked at again, without an event
};

enum class Fill { full, waiting, done, changed, idle };

class Server {
public:
    Server(int listener, const ServedLog *log, FollowedLog *followed, const ServeOptions &options)
        : listener_(listener), log_(log), followed_(followed), options_(options), scratch_(chunk) {
        if (followed_ == nullptr) return;
        lines_.resize(chunk);
        const std::string path = followed_->path;
        base_ = path.substr(path.rfind('/') + 1);
    }
    bool run(std::string &error);

private:
    void accept_clients();
    void on_event(int fd, std::uint32_t events);
    void read_pair(Client &c);
    void pump(Client &c);
    void send_frames(Client &c);
    Fill fill(Client &c, std::size_t &used, Clock::time_point now);
    Fill fill_followed(Client &c, std::size_t &used, Clock::time_point now);
    void start_tail(Client &c);
    void on_log_changed();
    void note(const std::string &text);
    std::size_t send_some(Client &c, const char *data, std::size_t size);
    void schedule(Client &c, Clock::time_point now) const;
    void want_out(Client &c, bool out) const;
    void finish(Client &c);
    void drop(Client &c);
    void close_dropped();
    int timeout_ms(Clock::time_point now) const;
    void run_timers(Clock::time_point now);

    int listener_;
    const ServedLog *log_;   // the log served whole, or
    FollowedLog *followed_;  // the log followed
    ServeOptions options_;
    int epoll_ = -1;
    bool listening_ = true;
    bool served_ = false;   // with once: the one client is done
    bool changed_ = false;  // the log no longer reads as it did
    std::string base_;      // the followed log's name in its folder
    std::vector<char> scratch_;
    std::vector<char> lines_;  // a followed log's lines, read for one client at a time
    std::deque<std::string> told_;
    std::unordered_map<int, Client> clients_;
    std::vector<int> dropped_;  // clients in the closing state
};

bool add(int epoll, int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool Server::run(std::string &error) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const int flags = fcntl(listener_, F_GETFL);
    const int watch = followed_ != nullptr ? followed_->watch.fd() : -1;
    if (epoll_ < 0 || flags < 0 || fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        !add(epoll_, listener_, EPOLLIN) || (watch >= 0 && !add(epoll_, watch, EPOLLIN))) {
        error = std::string("epoll: ") + std::strerror(errno);
        return false;
    }
    epoll_event events[64];
    while (!served_ && !changed_) {
        const int n = epoll_wait(epoll_, events, 64, timeout_ms(Clock::now()));
        if (n < 0 && errno != EINTR) {
            error = std::string("epoll: ") + std::strerror(errno);
            return false;
        }
        for (int i = 0; i < n && !served_ && !changed_; ++i) {
            try {
                on_event(events[i].data.fd, events[i].events);
            } catch (const std::bad_alloc &) {
                std::fprintf(stderr, "sfreplay: out of memory: a client was dropped\n");
                const auto found = clients_.find(events[i].data.fd);
                if (found != clients_.end()) drop(found->second);
            }
        }
        if (!served_ && !changed_) run_timers(Clock::now());
        close_dropped();
    }
    if (changed_) error = std::string(log_->path) + ": changed while being served";
    return !changed_;
}

void Server::on_event(int fd, std::uint32_t events) {
    if (fd == listener_) return accept_clients();
    if (followed_ != nullptr && fd == followed_->watch.fd()) return on_log_changed();
    const auto found = clients_.find(fd);
    if (found == clients_.end() || found->second.state == Client::closing) return;
    Client &c = found->second;
    if ((events & (EPOLLERR | EPOLLHUP)) != 0) return drop(c);
    if ((events & EPOLLIN) != 0) read_pair(c);
    if ((events & EPOLLOUT) != 0 && c.state == Client::serving) pump(c);
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
            if (followed_ != nullptr) start_tail(*c);
        } catch (const std::bad_alloc &) {
            clients_.erase(fd);
            std::fprintf(stderr, "sfreplay: out of memory: a client was refused\n");
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a paced frame goes out at once
        if (send(fd, sf::our_pair, 2, MSG_NOSIGNAL) != 2 || !add(epoll_, fd, EPOLLIN)) {
            clients_.erase(fd);  // not yet known to anyone
            close(fd);
            continue;
        }
        c->fd = fd;
        c->deadline = Clock::now() + handshake_time;
    }
}

// The client is served what is written after this: its place is set now,
// at the end of the log's last whole line.
void Server::start_tail(Client &c) {
    c.tail = std::make_unique<LogTail>(followed_->path, LogTail::from_end);
    c.tail->on_note = [this](const std::string &text) { note(text); };
    std::size_t size = 0;
    c.tail->read(lines_.data(), lines_.size(), size);
}

// Told once for all the clients that come upon it.
void Server::note(const std::string &text) {
    for (const std::string &told : told_)
        if (told == text) return;
    std::fprintf(stderr, "sfreplay: %s\n", text.c_str());
    told_.push_back(text);
    if (told_.size() > recent_notes) told_.pop_front();
}

// Something in the log's folder changed: idle clients look whether it was their log.
void Server::on_log_changed() {
    bool ours = false;
    followed_->watch.drain([&](const char *name) { ours = ours || name == nullptr || base_ == name; });
    if (!ours) return;
    for (auto &entry : clients_) {
        Client &c = entry.second;
        if (c.state == Client::serving && c.idle) pump(c);
        if (served_) return;
    }
}

// Before the handshake: the client's pair. After it: whatever the client
// sends is dropped, and its end of the stream means it has gone.
void Server::read_pair(Client &c) {
    if (c.state == Client::serving) {
        const ssize_t n = recv(c.fd, scratch_.data(), scratch_.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) drop(c);
        return;
    }
    const ssize_t n = recv(c.fd, c.pair + c.got, static_cast<std::size_t>(2 - c.got), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(c);
    c.got += static_cast<int>(n);
    if (c.got < 2) return;
    if (!sf::accepts_pair(c.pair)) return drop(c);
    if (options_.once && listener_ < 0) return drop(c);  // the one client is being served
    c.state = Client::serving;
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
    if (log_ == nullptr) return fill_followed(c, used, now);
    const ServedLog &log = *log_;
    for (;;) {
        if (!c.has_next) {
            if (c.at == log.size) {
                if (log.size == 0 || (options_.loops != 0 && ++c.rounds >= options_.loops)) return Fill::done;
                c.at = 0;
                c.last_micros = -1;
            }
            if (!next_packet(log, c.at, c.next)) return Fill::changed;
            c.has_next = true;
            if (options_.timed) schedule(c, now);
        }
        if (options_.timed && c.due > now) return Fill::waiting;
        if (scratch_.size() - used < sf::max_frame) return Fill::full;
        used += sf::put_frame(&scratch_[used], c.next.bytes, c.next.len);
        c.has_next = false;
    }
}

// As fill, from the lines the client's tail reads; what is read and not
// framed stays in the file for the next turn. A malformed line is told and
// passed over.
Fill Server::fill_followed(Client &c, std::size_t &used, Clock::time_point now) {
    std::size_t have = 0;
    std::size_t taken = 0;
    for (;;) {
        if (!c.has_next) {
            if (taken == have) {
                taken = have = 0;
                // Paced, a line at a time: the rest would be read again for the next.
                const std::size_t room = options_.timed ? 2 * max_log_line : lines_.size();
                const LogTail::Result read = c.tail->read(lines_.data(), room, have);
                if (read != LogTail::lines) {
                    c.retry = read == LogTail::later      ? c.tail->retry_at()
                              : followed_->watch.fd() < 0 ? now + poll_time
                                                          : Clock::time_point::max();
                    return Fill::idle;
                }
            }
            const char *begin = lines_.data() + taken;
            const char *end = static_cast<const char *>(std::memchr(begin, '\n', have - taken));
            const char *what = parse_log_line(begin, end, c.next);
            if (what != nullptr)
                note(c.tail->path() + ": byte " + std::to_string(c.tail->place()) + ": " + what + ", passed over");
            const auto size = static_cast<std::size_t>(end - begin) + 1;
            c.tail->consume(size);
            taken += size;
            if (what != nullptr) continue;
            c.has_next = true;
            if (options_.timed && c.idle) {
                // The first line after a wait goes at once, the ones after it paced from it.
                c.due = now;
                c.last_micros = -1;
            }
            c.idle = false;
            if (options_.timed) schedule(c, now);
        }
        if (options_.timed && c.due > now) return Fill::waiting;
        if (scratch_.size() - used < sf::max_frame) return Fill::full;
        used += sf::put_frame(&scratch_[used], c.next.bytes, c.next.len);
        c.has_next = false;
    }
}

// Without pacing, frames go out straight from the frames file, with no
// parsing and no copy through this process.
void Server::send_frames(Client &c) {
    const ServedLog &log = *log_;
    for (int turn = 0; turn < writes_per_turn; ++turn) {
        if (c.at == log.frames_size) {
            if (log.frames_size == 0 || (options_.loops != 0 && ++c.rounds >= options_.loops)) return finish(c);
            c.at = 0;
        }
        auto offset = static_cast<off_t>(c.at);
        const ssize_t n = sendfile(c.fd, log.frames, &offset, log.frames_size - c.at);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return want_out(c, true);
        if (n <= 0) return drop(c);
        c.at = static_cast<std::size_t>(offset);
    }
    want_out(c, true);  // more to send once the others have had their turn
}

// What of data the socket took; a failed send drops the client.
std::size_t Server::send_some(Client &c, const char *data, std::size_t size) {
    if (size == 0) return 0;
    const ssize_t n = send(c.fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EAGAIN && errno != EINTR) drop(c);
    return 0;
}

void Server::pump(Client &c) {
    if (log_ != nullptr && !options_.timed && log_->frames >= 0) return send_frames(c);
    const Clock::time_point now = Clock::now();
    c.waiting = false;
    for (int turn = 0; turn < writes_per_turn; ++turn) {
        if (!c.pending.empty()) {
            const std::size_t sent = send_some(c, c.pending.data(), c.pending.size());
            if (c.state == Client::closing) return;
            c.pending.erase(0, sent);
            if (!c.pending.empty()) return want_out(c, true);
            continue;
        }
        std::size_t size = 0;
        const Fill state = fill(c, size, now);
        const std::size_t sent = send_some(c, scratch_.data(), size);
        if (c.state == Client::closing) return;
        if (sent < size) {
            c.pending.assign(scratch_.data() + sent, size - sent);
            return want_out(c, true);
        }
        if (state == Fill::changed) {
            changed_ = true;
            return;
        }
        if (state == Fill::done) return finish(c);
        if (state == Fill::idle) {
            c.idle = true;
            return want_out(c, false);
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

// Every frame has gone out.
void Server::finish(Client &c) {
    if (options_.once) served_ = true;
    drop(c);
}

// The client stays in the map, closing, until the batch of events is done:
// the code that called this may still hold it.
void Server::drop(Client &c) {
    if (c.state == Client::closing) return;
    if (options_.once && c.state == Client::serving) served_ = true;  // one that leaves early was served too
    c.state = Client::closing;
    dropped_.push_back(c.fd);
}

void Server::close_dropped() {
    for (const int fd : dropped_) {
        // Unread bytes at close would send a reset, which may cost the client the
        // last frames still on their way.
        while (recv(fd, scratch_.data(), scratch_.size(), 0) > 0) {
        }
        close(fd);  // also takes it out of epoll
        clients_.erase(fd);
    }
    if (!dropped_.empty() && !listening_ && listener_ >= 0 && add(epoll_, listener_, EPOLLIN)) listening_ = true;
    dropped_.clear();
}

int Server::timeout_ms(Clock::time_point now) const {
    Clock::time_point first = Clock::time_point::max();
    for (const auto &entry : clients_) {
        const Client &c = entry.second;
        if (c.state == Client::greeting && c.deadline < first) first = c.deadline;
        if (c.waiting && c.due < first) first = c.due;
        if (c.state == Client::serving && c.idle && c.retry < first) first = c.retry;
    }
    if (first == Clock::time_point::max()) return -1;
    if (first <= now) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - now).count() + 1;
    return left > 3600000 ? 3600000 : static_cast<int>(left);
}

// Neither pump nor drop adds or removes clients, so the map is walked as it is.
void Server::run_timers(Clock::time_point now) {
    for (auto &entry : clients_) {
        if (served_ || changed_) return;
        Client &c = entry.second;
        if (c.state == Client::greeting && c.deadline <= now) drop(c);
        if (c.state == Client::serving && ((c.waiting && c.due <= now) || (c.idle && c.retry <= now))) pump(c);
    }
}

}  // namespace

bool serve_clients(int listener, const ServedLog &log, const ServeOptions &options, std::string &error) {
    return Server(listener, &log, nullptr, options).run(error);
}

bool follow_clients(int listener, FollowedLog &log, const ServeOptions &options, std::string &error) {
    return Server(listener, nullptr, &log, options).run(error);
}
