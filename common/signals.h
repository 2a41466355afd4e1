#ifndef SF_COMMON_SIGNALS_H
#define SF_COMMON_SIGNALS_H

#include <csignal>

// A reader of a pipe or socket that has gone fails the write with EPIPE
// instead of killing the process.
void ignore_sigpipe();

// The signals that end the process by default (SIGHUP, SIGINT, SIGTERM and the
// like) keep doing so, but one that arrives while signals are held ends the
// process only once they are released. Signals the process was started with
// ignored stay ignored. SIGPIPE and SIGXFSZ are ignored, so that an output
// whose reader has gone or that reached the file size limit fails a write
// instead of killing the process.
void defer_ending_signals();

// Around a write that must not be cut short, such as a log line or a capture
// record: no system call, only a flag. Releasing ends the process by the
// default action of a signal held off meanwhile.
void hold_ending_signals();
void release_ending_signals();

// SIGTERM and SIGINT only ask the process to stop: stop_requested() turns
// true, and a system call they interrupt fails with EINTR instead of being
// restarted, so that a loop waiting in one sees the request.
void catch_stop_signals();
bool stop_requested();

// Blocks every signal in the calling thread while it lives, so that the
// threads it starts meanwhile take none: the program's own thread does.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t before_{};
};

#endif
