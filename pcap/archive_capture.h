#ifndef SF_PCAP_ARCHIVE_CAPTURE_H
#define SF_PCAP_ARCHIVE_CAPTURE_H

#include <string>

struct ArchiveOptions {
    std::string folder;         // a collector's folder of NAME.log files
    std::string pattern = "*";  // the NAMEs to follow, as a shell pattern
    int linktype = 0;
};

// The gateway a file of the archive holds: NAME for NAME.log when NAME
// matches pattern; empty otherwise.
std::string gateway_of(const std::string &file, const std::string &pattern);

// Follows every matching NAME.log of the folder live, across the collector's
// rotation, and writes pcapng to fd: an interface per gateway, named NAME, in
// the order the gateways are found (by name at the start, then as they
// appear), and a packet for each line written after the start, stamped with
// the line's timestamp. Runs until a write to fd fails, which is how a
// capture is stopped: then returns true. False, with error set to one line,
// when the capture cannot begin.
bool capture_archive(const ArchiveOptions &options, int fd, std::string &error);

#endif
