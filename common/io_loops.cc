// Whole writes and reads to the end (see io_loops.h).
#include "io_loops.h"

#include <errno.h>
#include <unistd.h>

int ioWriteAll(int fd, const void *data, size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            // Taken as no room rather than tried again for ever.
            errno = ENOSPC;
            return -1;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int ioReadToEnd(int fd, void *buffer, size_t size, IoPieceFn take, void *context)
{
    unsigned char *b = static_cast<unsigned char *>(buffer);
    for (;;) {
        const ssize_t n = read(fd, b, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        const int stop = take(context, b, static_cast<size_t>(n));
        if (stop != 0)
            return stop;
    }
}
