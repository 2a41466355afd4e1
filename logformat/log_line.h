#ifndef SFLOGGER_LOG_LINE_H
#define SFLOGGER_LOG_LINE_H

#include <cstddef>

#include <sys/time.h>

// The largest timestamp a log line holds, in seconds: twelve digits, beyond
// year 30000 and far from overflow in microseconds.
constexpr long long max_log_seconds = 999999999999;

// Room for the longest line: a 64-bit timestamp, 255 hex pairs and the newline.
constexpr std::size_t max_log_line = 32 + 255 * 3 + 1;

// Writes the log line for one packet into line (max_log_line bytes of room):
// "SECONDS.MICROS ", then "xx " per byte, then a newline. Returns its length.
std::size_t format_log_line(char *line, const timeval &when, const unsigned char *packet, int len);

#endif
