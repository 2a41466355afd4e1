#include "warn.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char *program_name = "";

}  // namespace

void set_program_name(const char *name) { program_name = name; }

// A C variadic function, so that the compiler checks every format against its arguments as printf's.
void warn(const char *format, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[1024];
    va_list args;
    va_start(args, format);
    // clang-tidy 14's analyzer reports args as uninitialised here, though va_start set it.
    const int n = std::vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    if (n < 0) return;
    // One write a line, so that lines of processes sharing a journal never interleave.
    char line[sizeof text + 128];
    const int size = std::snprintf(line, sizeof line, "%s: %s\n", program_name, text);
    if (size > 0) std::fwrite(line, 1, static_cast<std::size_t>(size) < sizeof line ? size : sizeof line - 1, stderr);
}
