// sfpcap2log: converts a pcap or pcapng capture of any link type into a packet
// log, one line per packet in sflogger's own format, so that sfreplay can
// serve what any capture tool recorded.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <pcap/pcap.h>
#include <unistd.h>

#include "log_line.h"
#include "signals.h"
#include "std_fds.h"

namespace {

const char usage[] = "usage: sfpcap2log [-s] [IN [OUT]]\n";

bool parse_options(int argc, char **argv, bool &skip) {
    opterr = 0;
    for (int option; (option = getopt(argc, argv, "s")) != -1;) {
        if (option != 's') return false;
        skip = true;
    }
    return argc - optind <= 2;
}

// What keeps a packet out of a log, or null.
const char *unfit(const pcap_pkthdr &header, char *why, std::size_t room) {
    if (header.len > 255)
        std::snprintf(why, room, "%u bytes, more than 255", header.len);
    else if (header.caplen < header.len)
        std::snprintf(why, room, "only %u of its %u bytes captured", header.caplen, header.len);
    else if (header.ts.tv_sec < 0 || header.ts.tv_sec > max_log_seconds)
        std::snprintf(why, room, "timestamp out of range");
    else
        return nullptr;
    return why;
}

// Writes a line per packet of capture to out until its end, or until a
// packet that cannot be a line unless skip. Returns the exit status: 0, or 2
// when the capture is broken or holds such a packet.
int convert(pcap_t *capture, const char *in_name, bool skip, FILE *out) {
    char line[max_log_line];
    char why[64];
    unsigned long number = 0;
    unsigned long skipped = 0;
    int status = 0;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    for (int got; (got = pcap_next_ex(capture, &header, &data)) != PCAP_ERROR_BREAK;) {
        if (got != 1) {
            std::fprintf(stderr, "sfpcap2log: %s: %s\n", in_name, pcap_geterr(capture));
            status = 2;
            break;
        }
        ++number;
        if (unfit(*header, why, sizeof why) != nullptr) {
            if (skip) {
                ++skipped;
                continue;
            }
            std::fprintf(stderr, "sfpcap2log: packet %lu: %s\n", number, why);
            status = 2;
            break;
        }
        const timeval when{header->ts.tv_sec, header->ts.tv_usec};
        std::fwrite(line, 1, format_log_line(line, when, data, static_cast<int>(header->len)), out);
    }
    if (skipped > 0)
        std::fprintf(stderr, "sfpcap2log: skipped %lu packets of %lu that cannot be frames\n", skipped, number);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    ignore_sigpipe();  // a reader that has gone is a write error
    bool skip = false;
    if (!parse_options(argc, argv, skip)) {
        std::fputs(usage, stderr);
        return 2;
    }
    const FilterPaths paths = filter_paths(argc - optind, argv + optind);

    FILE *in = paths.in == nullptr ? stdin : std::fopen(paths.in, "rbe");
    if (in == nullptr) {
        std::fprintf(stderr, "sfpcap2log: %s: %s\n", paths.in_name, std::strerror(errno));
        return 1;
    }
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *capture = pcap_fopen_offline_with_tstamp_precision(in, PCAP_TSTAMP_PRECISION_MICRO, error);
    if (capture == nullptr) {
        std::fprintf(stderr, "sfpcap2log: %s: %s\n", paths.in_name, error);
        return 2;
    }
    FILE *out = paths.out == nullptr ? stdout : std::fopen(paths.out, "we");
    if (out == nullptr) {
        std::fprintf(stderr, "sfpcap2log: %s: %s\n", paths.out_name, std::strerror(errno));
        return 1;
    }
    static char buffer[1 << 16];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

    const int status = convert(capture, paths.in_name, skip, out);
    pcap_close(capture);
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        std::fprintf(stderr, "sfpcap2log: %s: %s\n", paths.out_name, std::strerror(errno));
        return 1;
    }
    return status;
}
