#ifndef SF_COMMON_DEFERRED_SIGNALS_H
#define SF_COMMON_DEFERRED_SIGNALS_H

// The signals that end the process by default (SIGHUP, SIGINT, SIGTERM and the
// like) keep doing so, but one that arrives while a line is being written ends
// the process only once the line is whole. Signals the process was started
// with ignored stay ignored. SIGPIPE and SIGXFSZ are ignored, so that a log
// whose reader has gone or that reached the file size limit fails a write
// instead of killing the process.
void defer_ending_signals();

// Around each line's write: no system call, only a flag. end_line ends the
// process by the default action of a signal held off meanwhile.
void begin_line();
void end_line();

#endif
