#ifndef SFCOLLECT_SYNCER_H
#define SFCOLLECT_SYNCER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Runs one job at a time on a thread of its own, so that the caller goes
// on meanwhile: the collector's syncs, while it takes and writes the next
// pass's batches.
class Syncer {
public:
    using Job = std::function<bool(std::string &error)>;
    Syncer() = default;
    ~Syncer();
    Syncer(const Syncer &) = delete;
    Syncer &operator=(const Syncer &) = delete;

    // Starts the thread; false, with error set, when it cannot.
    bool start(std::string &error);
    // Runs job on the thread; only while none is running.
    void run(Job job);
    // From run until wait.
    bool busy() const { return busy_; }
    // Whether the job has ended, so that wait returns at once.
    bool ended();
    // Readable once the job has ended, until wait.
    int done_fd() const { return done_; }
    // Waits for the job to end: what it returned, with its error.
    bool wait(std::string &error);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable changed_;
    Job job_;
    bool ended_ = false;
    bool result_ = false;
    std::string error_;
    bool stopping_ = false;
    bool busy_ = false;  // the caller's alone
    int done_ = -1;
    std::thread thread_;
};

#endif
