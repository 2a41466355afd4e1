#include "linktype.h"

#include <cstring>

#include <pcap/pcap.h>

#include "numbers.h"

int parse_linktype(const char *text) {
    unsigned long long value = 0;
    if (*text >= '0' && *text <= '9') return parse_number(text, 65535, value) ? static_cast<int>(value) : -1;
    // libpcap names no user link type; USER0 to USER15 are 147 to 162.
    if (std::strncmp(text, "USER", 4) == 0 && parse_number(text + 4, 15, value)) return 147 + static_cast<int>(value);
    return pcap_datalink_name_to_val(text);
}
