#include "log_line.h"

#include <cstdio>

std::size_t format_log_line(char *line, const timeval &when, const unsigned char *packet, int len) {
    static const char hex[] = "0123456789abcdef";
    // Integer seconds and microseconds: the same digits as the double sum, and exact.
    int size = std::snprintf(line, max_log_line, "%ld.%06ld ", static_cast<long>(when.tv_sec),
                             static_cast<long>(when.tv_usec));
    char *at = line + size;
    for (int i = 0; i < len; ++i) {
        *at++ = hex[packet[i] >> 4];
        *at++ = hex[packet[i] & 0xF];
        *at++ = ' ';
    }
    *at++ = '\n';
    return static_cast<std::size_t>(at - line);
}
