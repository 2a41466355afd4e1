// sfreplay: a serial forwarder that serves a packet log, as sflogger writes
// it, to every client that connects; or, with -f, the lines of a growing log
// as they are written.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listener.h"
#include "numbers.h"
#include "served_log.h"
#include "server.h"
#include "signals.h"
#include "std_fds.h"

namespace {

const char usage[] = "usage: sfreplay [-b ADDRESS] [-1] [-f | -l COUNT] [-t] [-x FACTOR] PORT FILE\n";
const char help[] =
    "Serves the packet log FILE to every client that connects to PORT, as a\n"
    "serial forwarder: the handshake, then each packet in order as a frame.\n"
    "\n"
    "  -b ADDRESS  listen on this IPv4 address or host name (default 127.0.0.1)\n"
    "  -1          exit once one client has been served\n"
    "  -f          follow FILE as it grows, across rotation: serve each client\n"
    "              the lines written after it connected, as they are written\n"
    "  -t          pace the packets by their timestamps\n"
    "  -x FACTOR   pace at FACTOR times the recorded speed (implies -t)\n"
    "  -l COUNT    serve the log COUNT times to each client (0: without end)\n"
    "  -h, --help  print this and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "PORT 0 lets the system pick one; the port listened on is printed as\n"
    "\"listening on ADDRESS:PORT\". With -f, FILE may be renamed away, copied and\n"
    "truncated, or removed and made again: it is followed by name.\n";

struct Options {
    const char *address = "127.0.0.1";
    ServeOptions serve;
    bool follow = false;
    bool looped = false;
    int port = -1;
    const char *file = nullptr;
};

bool parse_factor(const char *text, double &factor) {
    char *end = nullptr;
    errno = 0;
    factor = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && factor > 0 && factor < 1e9;
}

// 0: go on; otherwise the exit status plus one.
int parse_options(int argc, char **argv, Options &options) {
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "b:1ftx:l:hV", long_options, nullptr)) != -1;) {
        switch (option) {
            case 'b':
                options.address = optarg;
                break;
            case '1':
                options.serve.once = true;
                break;
            case 'f':
                options.follow = true;
                break;
            case 't':
                options.serve.timed = true;
                break;
            case 'x':
                if (!parse_factor(optarg, options.serve.factor)) return 3;
                options.serve.timed = true;
                break;
            case 'l':
                if (!parse_number(optarg, ULLONG_MAX, options.serve.loops)) return 3;
                options.looped = true;
                break;
            case 'h':
                std::fputs(usage, stdout), std::fputs(help, stdout);
                return 1;
            case 'V':
                std::puts("sfreplay " SF_VERSION);
                return 1;
            default:
                return 3;
        }
    }
    if (argc - optind != 2 || !parse_port(argv[optind], true, options.port)) return 3;
    if (options.follow && options.looped) {
        std::fputs("sfreplay: -l has no use with -f: a followed log has no end\n", stderr);
        return 3;
    }
    options.file = argv[optind + 1];
    return 0;
}

// Listens and prints where; -1 after saying why it cannot.
int listen_or_say(const Options &options) {
    std::string bound;
    std::string error;
    const int listener = listen_on(options.address, options.port, bound, error);
    if (listener < 0) {
        std::fprintf(stderr, "sfreplay: %s\n", error.c_str());
        return -1;
    }
    std::printf("listening on %s\n", bound.c_str());
    std::fflush(stdout);
    return listener;
}

int follow(const Options &options) {
    FollowedLog log;
    log.path = options.file;
    std::string error;
    if (!log.watch.watch(folder_of(options.file), error)) {
        std::fprintf(stderr, "sfreplay: %s\n", error.c_str());
        return 1;
    }
    // A log not there yet is waited for: a gateway's first line creates it.
    struct stat info {};
    const bool there = stat(options.file, &info) == 0;
    if (!there && errno != ENOENT) {
        std::fprintf(stderr, "sfreplay: %s: %s\n", options.file, std::strerror(errno));
        return 1;
    }
    if (there && !S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "sfreplay: %s: not a regular file\n", options.file);
        return 1;
    }
    const int readable = there ? open(options.file, O_RDONLY | O_CLOEXEC) : -2;
    if (readable == -1) {
        std::fprintf(stderr, "sfreplay: %s: %s\n", options.file, std::strerror(errno));
        return 1;
    }
    if (readable >= 0) close(readable);
    const int listener = listen_or_say(options);
    if (listener < 0) return 1;
    if (!follow_clients(listener, log, options.serve, error)) {
        std::fprintf(stderr, "sfreplay: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int replay(const Options &options) {
    ServedLog log;
    std::string error;
    if (!map_log(options.file, log, error)) {
        std::fprintf(stderr, "sfreplay: %s\n", error.c_str());
        return 1;
    }
    const LogCheck &check = log.check;
    if (check.bad_line != 0) {
        std::fprintf(stderr, "sfreplay: %s:%zu: %s\n", options.file, check.bad_line, check.what);
        return 2;
    }
    if (check.torn)
        std::fprintf(stderr, "sfreplay: %s:%zu: last line has no newline, not served\n", options.file, check.lines + 1);
    const int listener = listen_or_say(options);
    if (listener < 0) return 1;
    if (!serve_clients(listener, log, options.serve, error)) {
        std::fprintf(stderr, "sfreplay: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    ignore_sigpipe();
    Options options;
    if (const int status = parse_options(argc, argv, options)) {
        if (status == 3) std::fputs(usage, stderr);
        return status - 1;
    }
    try {
        return options.follow ? follow(options) : replay(options);
    } catch (const std::bad_alloc &) {
        std::fputs("sfreplay: out of memory\n", stderr);
        return 1;
    }
}
