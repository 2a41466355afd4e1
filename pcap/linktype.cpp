#include "linktype.h"

#include <cstring>

#include <pcap/pcap.h>

int parse_linktype(const char *text) {
    if (*text >= '0' && *text <= '9') {
        long value = 0;
        for (; *text >= '0' && *text <= '9' && value <= 65535; ++text) value = value * 10 + (*text - '0');
        return *text == '\0' && value <= 65535 ? static_cast<int>(value) : -1;
    }
    // libpcap names no user link type; USER0 to USER15 are 147 to 162.
    if (std::strncmp(text, "USER", 4) == 0 && text[4] >= '0' && text[4] <= '9') {
        const int user = parse_linktype(text + 4);
        return user >= 0 && user <= 15 ? 147 + user : -1;
    }
    return pcap_datalink_name_to_val(text);
}
