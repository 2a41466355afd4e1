// sfextcap: a Wireshark extcap program. It offers two interfaces: a capture
// on "serialforwarder" connects to a serial forwarder and writes each packet,
// stamped with its arrival time, to Wireshark's FIFO; one on "sfarchive"
// follows a collector's folder of gateway logs live and writes pcapng with an
// interface per gateway.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <getopt.h>
#include <pcap/pcap.h>
#include <sys/time.h>
#include <unistd.h>

#include "archive_capture.h"
#include "linktype.h"
#include "numbers.h"
#include "sfsource.h"
#include "signals.h"
#include "std_fds.h"

namespace {

const char interface_name[] = "serialforwarder";
const char archive_name[] = "sfarchive";
const char default_archive[] = "/var/lib/sfcollect";

struct Options {
    enum { none, interfaces, dlts, config, capture } action = none;
    std::string interface;
    std::string fifo;
    std::string host = "127.0.0.1";
    std::string port = "9002";
    std::string linktype = std::to_string(default_linktype);
    std::string archive = default_archive;
    std::string pattern = "*";
};

// Wireshark passes its own options too (--extcap-version, a capture filter,
// debugging); what this interface has no use for is accepted and left alone.
bool parse_options(int argc, char **argv, Options &options) {
    enum {
        interfaces = 256,
        dlts,
        config,
        capture,
        interface,
        fifo,
        host,
        port,
        linktype,
        archive,
        pattern,
        ignored,
        ignored_arg
    };
    static const option long_options[] = {{"extcap-interfaces", no_argument, nullptr, interfaces},
                                          {"extcap-dlts", no_argument, nullptr, dlts},
                                          {"extcap-config", no_argument, nullptr, config},
                                          {"capture", no_argument, nullptr, capture},
                                          {"extcap-interface", required_argument, nullptr, interface},
                                          {"fifo", required_argument, nullptr, fifo},
                                          {"host", required_argument, nullptr, host},
                                          {"port", required_argument, nullptr, port},
                                          {"linktype", required_argument, nullptr, linktype},
                                          {"archive", required_argument, nullptr, archive},
                                          {"pattern", required_argument, nullptr, pattern},
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
            case archive:
                options.archive = optarg;
                break;
            case pattern:
                options.pattern = optarg;
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
    std::printf("interface {value=%s}{display=Serial forwarder central archive, every gateway live}\n", archive_name);
}

void list_dlts() { std::printf("dlt {number=%d}{name=USER0}{display=Serial forwarder packets}\n", default_linktype); }

void list_config(const Options &options) {
    if (options.interface == archive_name) {
        std::printf(
            "arg {number=0}{call=--archive}{display=Archive folder}{type=string}{default=%s}"
            "{tooltip=The collector's folder of NAME.log files}{required=true}\n",
            default_archive);
        std::puts(
            "arg {number=1}{call=--pattern}{display=Gateways}{type=string}{default=*}"
            "{tooltip=The gateway NAMEs to show, as a shell pattern such as gw*}");
        std::printf(
            "arg {number=2}{call=--linktype}{display=Link type}{type=string}{default=%d}"
            "{tooltip=The link type of the capture: a number or a libpcap name such as IEEE802_15_4_NOFCS}\n",
            default_linktype);
        return;
    }
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

// Connects to the forwarder the options name. False, with error set to one
// line for Wireshark to show, when the capture cannot begin.
bool connect_forwarder(const Options &options, int &linktype, int &fd, std::string &error) {
    linktype = parse_linktype(options.linktype.c_str());
    if (linktype < 0) {
        error = "sfextcap: unknown link type " + options.linktype;
        return false;
    }
    int port = 0;
    if (!parse_port(options.port.c_str(), false, port)) {
        error = "sfextcap: no such port " + options.port;
        return false;
    }
    fd = open_sf_source(options.host.c_str(), port);
    if (fd < 0) {
        error = "Couldn't open serial forwarder at " + options.host + ":" + options.port;
        return false;
    }
    return true;
}

// Writes the pcap header to fifo, then a record per packet from fd, each
// flushed as it is written, until the forwarder's stream ends or Wireshark
// closes its end. Takes fifo over; false when not even the header went out.
bool copy_packets(int fd, int linktype, FILE *fifo) {
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t *dumper = dead == nullptr ? nullptr : pcap_dump_fopen(dead, fifo);
    if (dumper == nullptr || pcap_dump_flush(dumper) != 0) {
        if (dumper != nullptr) pcap_dump_close(dumper);  // closes fifo too
        if (dumper == nullptr) std::fclose(fifo);
        if (dead != nullptr) pcap_close(dead);
        return false;
    }
    for (;;) {
        int len = 0;
        void *packet = read_sf_packet(fd, &len);
        if (packet == nullptr) break;
        pcap_pkthdr header{};
        gettimeofday(&header.ts, nullptr);
        header.caplen = header.len = static_cast<bpf_u_int32>(len);
        hold_ending_signals();  // a stopped capture ends after a whole record
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, static_cast<u_char *>(packet));
        const bool written = pcap_dump_flush(dumper) == 0;
        release_ending_signals();
        std::free(packet);
        if (!written) break;  // Wireshark has stopped the capture
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

// Opens Wireshark's FIFO first, as capture does, then follows the archive.
int capture_archive(const Options &options) {
    const int fifo = open(options.fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fifo < 0) {
        std::fprintf(stderr, "sfextcap: %s: %s\n", options.fifo.c_str(), std::strerror(errno));
        return 1;
    }
    ArchiveOptions archive;
    archive.folder = options.archive;
    archive.pattern = options.pattern;
    archive.linktype = parse_linktype(options.linktype.c_str());
    std::string error = "unknown link type " + options.linktype;
    const bool captured = archive.linktype >= 0 && capture_archive(archive, fifo, error);
    close(fifo);
    if (!captured) {
        std::fprintf(stderr, "sfextcap: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// Opens Wireshark's FIFO first, since Wireshark waits for that before it looks
// at anything else; then connects and copies the packets.
int capture(const Options &options) {
    FILE *fifo = std::fopen(options.fifo.c_str(), "wbe");
    if (fifo == nullptr) {
        std::fprintf(stderr, "sfextcap: %s: %s\n", options.fifo.c_str(), std::strerror(errno));
        return 1;
    }
    int linktype = 0;
    int fd = -1;
    std::string error;
    if (!connect_forwarder(options, linktype, fd, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::fclose(fifo);
        return 1;
    }
    const bool copied = copy_packets(fd, linktype, fifo);
    close(fd);
    if (!copied) {
        std::fprintf(stderr, "sfextcap: cannot write to %s\n", options.fifo.c_str());
        return 1;
    }
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
            "--extcap-interface serialforwarder --fifo PATH [--host HOST] [--port PORT] [--linktype TYPE]\n"
            "       sfextcap --extcap-dlts | --extcap-config | --capture "
            "--extcap-interface sfarchive --fifo PATH [--archive DIR] [--pattern NAMES] [--linktype TYPE]\n",
            stderr);
        return 2;
    }
    if (options.action == Options::interfaces) {
        list_interfaces();
        return 0;
    }
    if (options.interface != interface_name && options.interface != archive_name) {
        std::fprintf(stderr, "sfextcap: no interface %s; the interfaces are %s and %s\n", options.interface.c_str(),
                     interface_name, archive_name);
        return 2;
    }
    if (options.action == Options::dlts) list_dlts();
    if (options.action == Options::config) list_config(options);
    if (options.action != Options::capture) return 0;
    return options.interface == archive_name ? capture_archive(options) : capture(options);
}
