// Whole-buffer writes: write(2) may take less than it is given.
#ifndef PKGTOOL_IO_H
#define PKGTOOL_IO_H

#include <cstddef>

namespace pkgtool {

// Writes all size bytes, again after a short write or an interrupted one.
// Result: true, or false with errno set.
bool writeAll(int fd, const void *data, size_t size);

} // namespace pkgtool

#endif
