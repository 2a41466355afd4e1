// sflog2pcap: converts a packet log, as sflogger writes it, into a pcap file:
// one record per line, stamped with the line's timestamp, holding its bytes.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include "line_reader.h"
#include "linktype.h"
#include "packet_log.h"
#include "std_fds.h"

namespace {

const char usage[] = "usage: sflog2pcap [-l LINKTYPE] [IN [OUT]]\n";

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    std::signal(SIGPIPE, SIG_IGN);  // a reader that has gone is a write error
    int linktype = default_linktype;
    opterr = 0;
    for (int option; (option = getopt(argc, argv, "l:")) != -1;) {
        if (option != 'l' || (linktype = parse_linktype(optarg)) < 0) {
            if (option == 'l') std::fprintf(stderr, "sflog2pcap: unknown link type %s\n", optarg);
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (argc - optind > 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const FilterPaths paths = filter_paths(argc - optind, argv + optind);

    const int in = paths.in == nullptr ? STDIN_FILENO : open(paths.in, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.in_name, std::strerror(errno));
        return 1;
    }
    FILE *out = paths.out == nullptr ? stdout : std::fopen(paths.out, "wbe");
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t *dumper = out == nullptr || dead == nullptr ? nullptr : pcap_dump_fopen(dead, out);
    if (dumper == nullptr) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.out_name,
                     out == nullptr ? std::strerror(errno) : pcap_geterr(dead));
        if (dead != nullptr) pcap_close(dead);
        return 1;
    }
    LineReader reader(in);
    LogPacket packet;
    int status = 0;
    for (std::size_t number = 1;; ++number) {
        // Whatever is converted goes out before waiting for more, so a
        // capture read from a live log shows each packet as it comes.
        if (!reader.ready() && pcap_dump_flush(dumper) != 0) break;
        const char *begin = nullptr;
        const char *end = nullptr;
        const LineReader::Result result = reader.next(begin, end);
        if (result == LineReader::ended) break;
        if (result == LineReader::failed) {
            std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.in_name, std::strerror(errno));
            status = 1;
            break;
        }
        if (result == LineReader::torn) {
            std::fprintf(stderr, "sflog2pcap: %s:%zu: last line has no newline, not converted\n", paths.in_name,
                         number);
            break;
        }
        const char *what = parse_log_line(begin, end, packet);
        if (what == nullptr && packet.micros / 1000000 > UINT32_MAX) what = "timestamp beyond what a pcap file holds";
        if (what != nullptr) {
            std::fprintf(stderr, "sflog2pcap: %s:%zu: %s\n", paths.in_name, number, what);
            status = 2;
            break;
        }
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(packet.micros / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(packet.micros % 1000000);
        header.caplen = header.len = static_cast<bpf_u_int32>(packet.len);
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, packet.bytes);
    }
    const bool flushed = pcap_dump_flush(dumper) == 0;
    const int saved = errno;
    pcap_dump_close(dumper);
    pcap_close(dead);
    if (!flushed) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.out_name, std::strerror(saved));
        return 1;
    }
    return status;
}
