// Capture files read back in the tests of the Wireshark bridge.
#ifndef SF_TESTS_CAPTURE_SUPPORT_H
#define SF_TESTS_CAPTURE_SUPPORT_H

#include <string>
#include <vector>

#include "support.h"

// The records of a pcap or pcapng file, read with libpcap (which reads every
// interface of a pcapng file alike when they share a link type); its link
// type in linktype.
std::vector<Record> read_capture(const std::string &path, int *linktype = nullptr);

#endif
