#include "syncer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

#include "signals.h"

Syncer::~Syncer() {
    if (thread_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    if (done_ >= 0) close(done_);
}

bool Syncer::start(std::string &error) {
    done_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (done_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    try {
        // Signals are the main thread's: a stop interrupts its wait, not a sync.
        const SignalsBlocked blocked;
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error &failed) {
        error = std::string("a thread for the syncs: ") + failed.what();
    }
    return thread_.joinable();
}

void Syncer::run(Job job) {
    busy_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
    }
    changed_.notify_all();
}

bool Syncer::ended() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

bool Syncer::wait(std::string &error) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ended_; });
    ended_ = false;
    busy_ = false;
    std::uint64_t count = 0;
    while (read(done_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    if (!result_) error = std::move(error_);
    return result_;
}

void Syncer::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return job_ || stopping_; });
        if (!job_) return;
        Job job = std::move(job_);
        job_ = nullptr;
        lock.unlock();
        std::string error;
        const bool result = job(error);
        lock.lock();
        result_ = result;
        error_ = std::move(error);
        ended_ = true;
        changed_.notify_all();
        const std::uint64_t one = 1;
        while (write(done_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}
