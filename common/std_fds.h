#ifndef SF_COMMON_STD_FDS_H
#define SF_COMMON_STD_FDS_H

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// socket or log opened later takes its place and receives what was meant for
// standard output or error. Call first thing in main.
void open_std_fds();

// The optional IN and OUT operands of a filter program. Missing or "-", they
// stand for standard input and output: the path is then null, and the name
// that messages use says which stream it is.
struct FilterPaths {
    const char *in = nullptr;
    const char *out = nullptr;
    const char *in_name = "(standard input)";
    const char *out_name = "(standard output)";
};
FilterPaths filter_paths(int count, char **operands);

#endif
