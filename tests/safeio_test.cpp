#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sfsource.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

void shorten_timeouts(int fd) {
    const timeval limit{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

TEST(SafeIo, NonPositiveCountTouchesNothing) {
    char byte = 'x';
    for (int count : {0, -1, -1000}) {
        EXPECT_EQ(saferead(-1, &byte, count), 0) << count;
        EXPECT_EQ(safewrite(-1, &byte, count), 0) << count;
    }
    EXPECT_EQ(byte, 'x');
}

TEST(SafeIo, ReadGathersPieces) {
    Pair pair;
    const std::string data = "0123456789";
    std::thread writer([&] {
        for (char c : data) {
            send_all(pair.peer, std::string(1, c));
            std::this_thread::sleep_for(1ms);
        }
    });
    char buffer[10] = {};
    EXPECT_EQ(saferead(pair.client, buffer, 10), 10);
    writer.join();
    EXPECT_EQ(std::string(buffer, 10), data);
}

TEST(SafeIo, ReadStopsAtEndOfStream) {
    struct Case {
        std::string sent;
        int wanted;
    };
    for (const Case &c : {Case{"", 4}, Case{"abc", 8}, Case{"abcdefgh", 8}}) {
        Pair pair;
        send_all(pair.peer, c.sent);
        shutdown(pair.peer, SHUT_WR);
        char buffer[8] = {};
        EXPECT_EQ(saferead(pair.client, buffer, c.wanted), static_cast<int>(c.sent.size())) << c.sent;
        EXPECT_EQ(std::string(buffer, c.sent.size()), c.sent);
    }
}

TEST(SafeIo, ErrorAfterPartialTransferIsMinusOne) {
    Pair pair;
    shorten_timeouts(pair.client);
    send_all(pair.peer, "abc");  // then silence: the read times out with EAGAIN
    char buffer[8];
    EXPECT_EQ(saferead(pair.client, buffer, 8), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

    const std::string big(1 << 22, 'z');  // more than the socket buffers hold
    EXPECT_EQ(safewrite(pair.client, big.data(), static_cast<int>(big.size())), -1);
    EXPECT_EQ(saferead(-1, buffer, 1), -1);
    EXPECT_EQ(safewrite(-1, buffer, 1), -1);
}

std::atomic<int> interruptions{0};
void count_interruption(int /*signal*/) { ++interruptions; }

// Interrupts the calling thread with SIGUSR1 (no SA_RESTART) while body runs.
template <typename Body>
void with_interruptions(std::function<void()> peer, Body body) {
    struct sigaction action {};
    struct sigaction old {};
    action.sa_handler = count_interruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &old);
    interruptions = 0;
    const pthread_t target = pthread_self();
    std::thread helper([&] {
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(5ms);
            pthread_kill(target, SIGUSR1);
        }
        peer();
    });
    body();
    helper.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GT(interruptions.load(), 0);
}

TEST(SafeIo, InterruptedReadIsReissued) {
    Pair pair;
    char buffer[5] = {};
    with_interruptions([&] { send_all(pair.peer, "hello"); }, [&] { EXPECT_EQ(saferead(pair.client, buffer, 5), 5); });
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST(SafeIo, InterruptedWriteIsReissued) {
    Pair pair;
    std::string big(1 << 21, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::string received;
    with_interruptions([&] { received = read_some(pair.peer, big.size()); },
                       [&] {
                           EXPECT_EQ(safewrite(pair.client, big.data(), static_cast<int>(big.size())),
                                     static_cast<int>(big.size()));
                       });
    EXPECT_TRUE(received == big);
}

TEST(SafeIo, GonePeerGivesMinusOneNotSigpipe) {
    Pair pair;
    close(pair.peer);
    pair.peer = -1;
    EXPECT_EQ(safewrite(pair.client, "ab", 2), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(write_sf_packet(pair.client, "ab", 2), -1);
    EXPECT_EQ(init_sf_source(pair.client), -1);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(safewrite(fds[1], "ab", 2), -1);
    EXPECT_EQ(errno, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    close(fds[1]);
}

// In a child, so that a SIGPIPE let through ends the child and not the tests.
int status_of(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SafeIo, PipeReaderLeavingMidWriteRaisesNoSigpipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t writer = fork();
    if (writer == 0) {  // more than the pipe holds, so the write is under way when the reader leaves
        close(fds[0]);
        const std::string big(1 << 20, 'x');
        _exit(safewrite(fds[1], big.data(), static_cast<int>(big.size())) == -1 && errno == EPIPE ? 0 : 1);
    }
    close(fds[1]);
    EXPECT_EQ(read_some(fds[0], 1000).size(), 1000U);
    close(fds[0]);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_EQ(status_of([] {  // a SIGPIPE pending before the write stays pending
                  int ends[2];
                  sigset_t pipe_only;
                  sigemptyset(&pipe_only);
                  sigaddset(&pipe_only, SIGPIPE);
                  if (pipe(ends) != 0 || pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr) != 0) return 2;
                  raise(SIGPIPE);
                  close(ends[0]);
                  if (safewrite(ends[1], "ab", 2) != -1) return 3;
                  sigset_t pending;
                  sigpending(&pending);
                  return sigismember(&pending, SIGPIPE) == 1 ? 0 : 4;
              }),
              0);
}

TEST(SafeIo, WritesToPlainDescriptors) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(safewrite(fds[1], "pipe", 4), 4);
    EXPECT_EQ(write_sf_packet(fds[1], "xy", 2), 0);
    close(fds[1]);
    EXPECT_EQ(read_some(fds[0], 16), "pipe\x02xy");
    close(fds[0]);
}

}  // namespace
