// sflog2pcap: converts a packet log, as sflogger writes it, into a pcap file:
// one record per line, stamped with the line's timestamp, holding its bytes.
// Given several logs, a folder of them or a time range, it merges them into
// pcapng, an interface per log.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <getopt.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include "line_reader.h"
#include "linktype.h"
#include "merge_logs.h"
#include "packet_log.h"
#include "signals.h"
#include "std_fds.h"
#include "warn.h"

namespace {

const char usage[] =
    "usage: sflog2pcap [-l LINKTYPE] [IN [OUT]]\n"
    "       sflog2pcap [-l LINKTYPE] [--since TIME] [--until TIME] [-o OUT] [--archive DIR] [LOG...]\n";

const char help[] =
    "Converts a packet log into a pcap file, or merges logs into one pcapng file.\n"
    "  -l LINKTYPE     link type: a number, a libpcap name or USER0 to USER15 (default USER0)\n"
    "  -o OUT          merge into OUT (- for standard output) as pcapng, an interface per log\n"
    "  --since TIME    merge only packets at or after TIME\n"
    "  --until TIME    merge only packets before TIME\n"
    "  --archive DIR   merge every NAME.log in DIR too\n"
    "  -h, --help      show this help\n"
    "TIME is Unix seconds with up to six decimals, or an ISO 8601 date and time,\n"
    "UTC unless an offset is given: 2027-01-15T10:03:00+01:00. Each LOG brings its\n"
    "rotated files (LOG.1, LOG.2.gz, LOG-DATE...). With no option but -l and at most\n"
    "two operands, IN and OUT: a classic pcap file from one log, as it comes.\n";

// A pcap writer on a stream, with what it takes to close it.
struct Dumper {
    pcap_t *dead = nullptr;
    pcap_dumper_t *dump = nullptr;
};

struct Options {
    int linktype = default_linktype;
    bool merge = false;  // an option only merging has was given
    bool help = false;
    MergeJob job;
};

bool parse_time_option(const char *name, const char *text, long long &micros) {
    if (parse_time(text, micros)) return true;
    warn("%s: cannot read the time %s", name, text);
    return false;
}

bool parse_options(int argc, char **argv, Options &options) {
    enum { since = 256, until, archive };
    static const option long_options[] = {{"since", required_argument, nullptr, since},
                                          {"until", required_argument, nullptr, until},
                                          {"archive", required_argument, nullptr, archive},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    const char *since_text = nullptr;
    const char *until_text = nullptr;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "l:o:h", long_options, nullptr)) != -1;) {
        switch (option) {
            case 'l':
                if ((options.linktype = parse_linktype(optarg)) >= 0) break;
                warn("unknown link type %s", optarg);
                return false;
            case 'o':
                options.job.out = std::strcmp(optarg, "-") == 0 ? nullptr : optarg;
                break;
            case since:
                if (!parse_time_option("--since", since_text = optarg, options.job.range.since)) return false;
                break;
            case until:
                if (!parse_time_option("--until", until_text = optarg, options.job.range.until)) return false;
                break;
            case archive:
                options.job.archive = optarg;
                break;
            case 'h':
                options.help = true;
                return true;
            default:
                return false;
        }
        if (option != 'l') options.merge = true;
    }
    if (options.job.range.since > options.job.range.until) {
        warn("--since %s is later than --until %s", since_text, until_text);
        return false;
    }
    options.merge = options.merge || argc - optind > 2;
    if (options.merge) options.job.logs.assign(argv + optind, argv + argc);
    options.job.linktype = options.linktype;
    return true;
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
    set_program_name("sflog2pcap");
    ignore_sigpipe();  // a reader that has gone is a write error
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        std::fputs(help, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.merge) return merge_logs(options.job, usage);
    const FilterPaths paths = filter_paths(argc - optind, argv + optind);

    const int in = paths.in == nullptr ? STDIN_FILENO : open(paths.in, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        std::fprintf(stderr, "sflog2pcap: %s: %s\n", paths.in_name, std::strerror(errno));
        return 1;
    }
    Dumper out;
    std::string error;
    if (!open_dumper(paths.out, options.linktype, out, error)) {
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
