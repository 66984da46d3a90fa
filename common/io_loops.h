/* The two loops every reader and writer of whole files needs: write(2) may
 * take fewer bytes than it is given, read(2) ends only where it returns 0,
 * and either may be cut short by a signal.  C headers only: it builds into
 * the static unzip utility and into pkgtool. */
#ifndef COMMON_IO_LOOPS_H
#define COMMON_IO_LOOPS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes all size bytes at data to fd, again after a short write and after
 * a write that a signal interrupted (EINTR).  Result: 0 when every byte is
 * written, or -1 with errno set (ENOSPC when a write takes no byte). */
int ioWriteAll(int fd, const void *data, size_t size);

/* Takes one piece that ioReadToEnd read.  Result: 0 to read on, or a
 * positive value that ends the reading. */
typedef int (*IoPieceFn)(void *context, const unsigned char *piece, size_t size);

/* Reads fd from its position to its end through buffer (size bytes, at
 * least 1), handing each piece read to take, again after a read that a
 * signal interrupted.  The end is where read returns 0, not the size fstat
 * tells: /proc files tell 0 and hold more, pipes and FIFOs tell nothing.
 * Result: 0 at the end, -1 with errno set when a read failed, or the
 * positive value take returned to end the reading. */
int ioReadToEnd(int fd, void *buffer, size_t size, IoPieceFn take, void *context);

#ifdef __cplusplus
}
#endif

#endif
