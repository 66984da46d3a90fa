/* Inside the OS layer: composing and running one shell command line. */
#ifndef OS_SHELL_H
#define OS_SHELL_H

#include <stddef.h>

/* Formats a command into buffer (size bytes) and runs it with system().
 * Result: the raw status of system(), or -1 when the line does not fit
 * (nothing is run then). */
__attribute__((format(printf, 3, 4))) int osRunFormatted(char *buffer, size_t size,
                                                         const char *fmt, ...);

#endif
