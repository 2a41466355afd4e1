#include "warn.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char *program_name = "";

}  // namespace

void set_program_name(const char *name) { program_name = name; }

void warn(const char *format, ...) {
    // One buffer and one write, so that lines of two processes sharing a journal never interleave.
    char line[1024];
    int n = std::snprintf(line, sizeof line, "%s: ", program_name);
    va_list args;
    va_start(args, format);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof line)
        n += std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) >= sizeof line - 1) n = static_cast<int>(sizeof line) - 2;
    line[n] = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(n) + 1, stderr);
}
