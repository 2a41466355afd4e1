#ifndef SF_COMMON_STD_FDS_H
#define SF_COMMON_STD_FDS_H

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// socket or log opened later takes its place and receives what was meant for
// standard output or error. Call first thing in main.
void open_std_fds();

// Whether a path argument stands for standard input or output: "-".
bool names_std_stream(const char *path);

#endif
