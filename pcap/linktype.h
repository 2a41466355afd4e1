#ifndef SF_PCAP_LINKTYPE_H
#define SF_PCAP_LINKTYPE_H

// The link type USER0: Wireshark shows the bytes, and a user maps it to a
// dissector of their choice.
constexpr int default_linktype = 147;

// A link type given as a number (0 to 65535), as a libpcap name such as
// IEEE802_15_4_NOFCS, or as USER0 to USER15; -1 when it is none of these.
int parse_linktype(const char *text);

#endif
