#include "signals.h"

#include <csignal>

#include <pthread.h>

namespace {

const int ending_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t writing = 0;
volatile sig_atomic_t held = 0;

// The default action is taken by raising the signal again with the default
// disposition: it stays blocked in here and is delivered as the handler returns.
void take_default_action(int sig) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void on_ending_signal(int sig) {
    if (writing != 0)
        held = sig;
    else
        take_default_action(sig);
}

void on_stop_signal(int /*sig*/) { stopping = 1; }

}  // namespace

void ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }

void defer_ending_signals() {
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : ending_signals) sigaddset(&action.sa_mask, sig);
    for (int sig : ending_signals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
    ignore_sigpipe();
    std::signal(SIGXFSZ, SIG_IGN);
}

void hold_ending_signals() { writing = 1; }

void release_ending_signals() {
    writing = 0;
    if (held != 0) take_default_action(held);
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool stop_requested() { return stopping != 0; }

SignalsBlocked::SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
