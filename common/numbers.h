#ifndef SF_COMMON_NUMBERS_H
#define SF_COMMON_NUMBERS_H

#include <cstdint>
#include <string>

// The number in text as the whole string of decimal digits, at most max:
// nothing before or after it, no sign, no blanks. False otherwise.
bool parse_number(const char *text, unsigned long long max, unsigned long long &value);
// The same for the text [begin, end), which need not end in a NUL.
bool parse_decimal(const char *begin, const char *end, unsigned long long max, unsigned long long &value);

// Exactly 16 lowercase hex digits in [begin, end), as a 64-bit number.
bool parse_hex64(const char *begin, const char *end, unsigned long long &value);

// value in decimal with a comma between groups of three digits, as
// messages give counts of lines: "1,204".
std::string group_digits(std::uint64_t value);

// A TCP port as every program but sflogger takes it: a whole number from 1 to
// 65535, or 0 (the system picks one) where zero_allowed.
bool parse_port(const char *text, bool zero_allowed, int &port);

// sflogger's port, read as atoi reads it (blanks, a sign, digits up to the
// first other character) and kept to the 16 bits a port has, so that long
// digit strings are safe. Never fails: text without digits is port 0.
int port_like_atoi(const char *text);

#endif
