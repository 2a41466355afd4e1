// sflog2pcap: converts a packet log, as sflogger writes it, into a pcap file:
// one record per line, stamped with the line's timestamp, holding its bytes.
#include <cerrno>
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
#include "signals.h"
#include "std_fds.h"

namespace {

const char usage[] = "usage: sflog2pcap [-l LINKTYPE] [IN [OUT]]\n";

// A pcap writer on a stream, with what it takes to close it.
struct Dumper {
    pcap_t *dead = nullptr;
    pcap_dumper_t *dump = nullptr;
};

bool parse_options(int argc, char **argv, int &linktype) {
    opterr = 0;
    for (int option; (option = getopt(argc, argv, "l:")) != -1;) {
        if (option != 'l') return false;
        if ((linktype = parse_linktype(optarg)) < 0) {
            std::fprintf(stderr, "sflog2pcap: unknown link type %s\n", optarg);
            return false;
        }
    }
    return argc - optind <= 2;
}

bool open_dumper(const char *path, int linktype, Dumper &out, std::string &error) {
    FILE *file = path == nullptr ? stdout : std::fopen(path, "wbe");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    out.dead = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    out.dump = out.dead == nullptr ? nullptr : pcap_dump_fopen(out.dead, file);
    if (out.dump != nullptr) return true;
    error = out.dead == nullptr ? "cannot start a capture" : pcap_geterr(out.dead);
    if (out.dead != nullptr) pcap_close(out.dead);
    if (file != stdout) std::fclose(file);
    return false;
}

// Writes a record per line of in until its end or a line that cannot be one.
// Returns the exit status: 0, 1 when reading failed, 2 for a malformed line.
int convert(LineReader &in, const char *in_name, pcap_dumper_t *dump) {
    LogPacket packet;
    std::string error;
    for (std::size_t number = 1;; ++number) {
        // Whatever is converted goes out before waiting for more, so a
        // capture read from a live log shows each packet as it comes.
        if (!in.ready() && pcap_dump_flush(dump) != 0) return 0;  // the flush at the end reports it
        const char *begin = nullptr;
        const char *end = nullptr;
        switch (in.next(begin, end, error)) {
            case LineReader::ended:
                return 0;
            case LineReader::failed:
                std::fprintf(stderr, "sflog2pcap: %s: %s\n", in_name, error.c_str());
                return 1;
            case LineReader::torn:
                std::fprintf(stderr, "sflog2pcap: %s:%zu: last line has no newline, not converted\n", in_name, number);
                return 0;
            case LineReader::line:
                break;
        }
        const char *what = parse_log_line(begin, end, packet);
        if (what == nullptr && packet.micros / 1000000 > UINT32_MAX) what = "timestamp beyond what a pcap file holds";
        if (what != nullptr) {
            std::fprintf(stderr, "sflog2pcap: %s:%zu: %s\n", in_name, number, what);
            return 2;
        }
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(packet.micros / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(packet.micros % 1000000);
        header.caplen = header.len = static_cast<bpf_u_int32>(packet.len);
        pcap_dump(reinterpret_cast<u_char *>(dump), &header, packet.bytes);
    }
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    ignore_sigpipe();  // a reader that has gone is a write error
    int linktype = default_linktype;
    if (!parse_options(argc, argv, linktype)) {
        std::fputs(usage, stderr);
        return 2;
    }
    const FilterPaths paths = filter_paths(argc - optind, argv + optind);

    const int in = paths.in == nullptr ? STDIN_FILENO : open(paths.in, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.in_name, std::strerror(errno));
        return 1;
    }
    Dumper out;
    std::string error;
    if (!open_dumper(paths.out, linktype, out, error)) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.out_name, error.c_str());
        return 1;
    }
    LineReader reader(in);
    const int status = convert(reader, paths.in_name, out.dump);
    const bool flushed = pcap_dump_flush(out.dump) == 0;
    const int saved = errno;
    pcap_dump_close(out.dump);
    pcap_close(out.dead);
    if (!flushed) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.out_name, std::strerror(saved));
        return 1;
    }
    return status;
}
