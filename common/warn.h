#ifndef SF_COMMON_WARN_H
#define SF_COMMON_WARN_H

// The program's name, as its messages on standard error start with it.
void set_program_name(const char *name);

// One line on standard error: "NAME: " and the formatted text; the newline is added.
void warn(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
