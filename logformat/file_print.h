// A log file known by its content rather than by its device and inode, which
// a copy, a restore or a remount change: the print, a hash of its start.
#ifndef SFLOG_FILE_PRINT_H
#define SFLOG_FILE_PRINT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "rotated_files.h"

// Of a file's start, when its first line is longer.
constexpr std::size_t print_span = 4096;

// The print of a file whose start is [head, head + size): its first line
// with the newline, or its first print_span bytes; 0 while it has neither.
std::uint64_t print_of_start(const char *head, std::size_t size);

// The print of what input reads from where it is; false with error set when
// it cannot be read.
bool read_print(LogInput &input, std::uint64_t &print, std::string &error);

#endif
