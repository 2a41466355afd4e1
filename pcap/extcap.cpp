// sfextcap: a Wireshark extcap program. It offers the interface
// "serialforwarder"; a capture on it connects to a serial forwarder and
// writes each packet, stamped with its arrival time, to Wireshark's FIFO.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <pcap/pcap.h>
#include <sys/time.h>

#include "deferred_signals.h"
#include "linktype.h"
#include "sfsource.h"
#include "std_fds.h"

namespace {

const char interface_name[] = "serialforwarder";

struct Options {
    enum { none, interfaces, dlts, config, capture } action = none;
    std::string interface;
    std::string fifo;
    std::string host = "127.0.0.1";
    std::string port = "9002";
    std::string linktype = std::to_string(default_linktype);
};

// Wireshark passes its own options too (--extcap-version, a capture filter,
// debugging); what this interface has no use for is accepted and left alone.
bool parse_options(int argc, char **argv, Options &options) {
    enum { interfaces = 256, dlts, config, capture, interface, fifo, host, port, linktype, ignored, ignored_arg };
    static const option long_options[] = {{"extcap-interfaces", no_argument, nullptr, interfaces},
                                          {"extcap-dlts", no_argument, nullptr, dlts},
                                          {"extcap-config", no_argument, nullptr, config},
                                          {"capture", no_argument, nullptr, capture},
                                          {"extcap-interface", required_argument, nullptr, interface},
                                          {"fifo", required_argument, nullptr, fifo},
                                          {"host", required_argument, nullptr, host},
                                          {"port", required_argument, nullptr, port},
                                          {"linktype", required_argument, nullptr, linktype},
                                          {"extcap-version", optional_argument, nullptr, ignored},
                                          {"extcap-capture-filter", required_argument, nullptr, ignored_arg},
                                          {"extcap-control-in", required_argument, nullptr, ignored_arg},
                                          {"extcap-control-out", required_argument, nullptr, ignored_arg},
                                          {"debug", no_argument, nullptr, ignored},
                                          {"debug-file", required_argument, nullptr, ignored_arg},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
        switch (option) {
            case interfaces:
                options.action = Options::interfaces;
                break;
            case dlts:
                options.action = Options::dlts;
                break;
            case config:
                options.action = Options::config;
                break;
            case capture:
                options.action = Options::capture;
                break;
            case interface:
                options.interface = optarg;
                break;
            case fifo:
                options.fifo = optarg;
                break;
            case host:
                options.host = optarg;
                break;
            case port:
                options.port = optarg;
                break;
            case linktype:
                options.linktype = optarg;
                break;
            case ignored:
            case ignored_arg:
                break;
            default:
                return false;
        }
    }
    return optind == argc && options.action != Options::none;
}

void list_interfaces() {
    std::printf("extcap {version=%s}{help=man:sfextcap(1)}\n", SF_VERSION);
    std::printf("interface {value=%s}{display=Serial forwarder}\n", interface_name);
}

void list_dlts() { std::printf("dlt {number=%d}{name=USER0}{display=Serial forwarder packets}\n", default_linktype); }

void list_config() {
    std::puts(
        "arg {number=0}{call=--host}{display=Host}{type=string}{default=127.0.0.1}"
        "{tooltip=The serial forwarder's host name or IPv4 address}{required=true}");
    std::puts(
        "arg {number=1}{call=--port}{display=Port}{type=unsigned}{range=1,65535}{default=9002}"
        "{tooltip=The serial forwarder's TCP port}{required=true}");
    std::printf(
        "arg {number=2}{call=--linktype}{display=Link type}{type=string}{default=%d}"
        "{tooltip=The link type of the capture: a number or a libpcap name such as IEEE802_15_4_NOFCS}\n",
        default_linktype);
}

// What stops a capture before its first packet, on standard error, where
// Wireshark shows it; or an empty string.
std::string connect_forwarder(const Options &options, int &linktype, int &fd) {
    linktype = parse_linktype(options.linktype.c_str());
    if (linktype < 0) return "sfextcap: unknown link type " + options.linktype;
    char *end = nullptr;
    const long port = std::strtol(options.port.c_str(), &end, 10);
    if (options.port.empty() || *end != '\0' || port < 1 || port > 65535)
        return "sfextcap: no such port " + options.port;
    fd = open_sf_source(options.host.c_str(), static_cast<int>(port));
    if (fd < 0) return "Couldn't open serial forwarder at " + options.host + ":" + options.port;
    return "";
}

// Opens Wireshark's FIFO first, since Wireshark waits for that before it looks
// at anything else; then connects and writes the pcap header and a record per
// packet, each flushed as it is written. Ends with the forwarder's stream or
// when Wireshark closes its end.
int capture(const Options &options) {
    FILE *fifo = std::fopen(options.fifo.c_str(), "wbe");
    if (fifo == nullptr) {
        std::fprintf(stderr, "sfextcap: %s: %s\n", options.fifo.c_str(), std::strerror(errno));
        return 1;
    }
    int linktype = 0;
    int fd = -1;
    const std::string failure = connect_forwarder(options, linktype, fd);
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        std::fclose(fifo);
        return 1;
    }
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t *dumper = dead == nullptr ? nullptr : pcap_dump_fopen(dead, fifo);
    if (dumper == nullptr || pcap_dump_flush(dumper) != 0) {
        std::fprintf(stderr, "sfextcap: cannot write to %s\n", options.fifo.c_str());
        if (dead != nullptr) pcap_close(dead);
        return 1;
    }
    for (;;) {
        int len = 0;
        void *packet = read_sf_packet(fd, &len);
        if (packet == nullptr) break;
        pcap_pkthdr header{};
        gettimeofday(&header.ts, nullptr);
        header.caplen = header.len = static_cast<bpf_u_int32>(len);
        begin_line();  // a stopped capture ends after a whole record
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, static_cast<u_char *>(packet));
        const bool written = pcap_dump_flush(dumper) == 0;
        end_line();
        std::free(packet);
        if (!written) break;  // Wireshark has stopped the capture
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    open_std_fds();
    defer_ending_signals();
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(
            "usage: sfextcap --extcap-interfaces | --extcap-dlts | --extcap-config | --capture "
            "--extcap-interface serialforwarder --fifo PATH [--host HOST] [--port PORT] [--linktype TYPE]\n",
            stderr);
        return 2;
    }
    if (options.action == Options::interfaces) {
        list_interfaces();
        return 0;
    }
    if (options.interface != interface_name) {
        std::fprintf(stderr, "sfextcap: no interface %s; the one interface is %s\n", options.interface.c_str(),
                     interface_name);
        return 2;
    }
    if (options.action == Options::dlts) list_dlts();
    if (options.action == Options::config) list_config();
    return options.action == Options::capture ? capture(options) : 0;
}
