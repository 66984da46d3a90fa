// Files pkgtool reads whole or writes by renaming over them must be regular
// files: a folder, a device, a FIFO or a /proc file would make a read fail
// late, block or never end, and a rename would replace a device or a link.
#ifndef PKGTOOL_FILE_CHECKS_H
#define PKGTOOL_FILE_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pkgtool {

// Whether path names a regular file, found out without blocking (a FIFO or
// a device is opened non-blocking and never read).  Result: "", or the
// problem as "PATH: it is ..." (the caller says what it wanted of it).
std::string notRegularFile(const std::string &path);

// Reads the regular file path whole, at most maxSize bytes; what names the
// file in messages ("the launcher stub").  Result: true, or false with one
// line in error ("cannot read the launcher stub PATH: ...").
bool readRegularFile(const std::string &path, const std::string &what, size_t maxSize,
                     std::vector<unsigned char> &data, std::string &error);

// Reads the open file fd from its position to its end into data (emptied
// first), refusing more than limit bytes.  Result: 0, -1 with errno set when
// a read failed, or 1 when the file holds more than limit bytes.
int readToEnd(int fd, uint64_t limit, std::vector<unsigned char> &data);

// Whether path may take a new package by a rename over it: it is missing,
// or an existing regular file that is no symbolic link.  Result: "", or
// the problem ("cannot write PATH: it ...").
std::string outputProblem(const std::string &path);

} // namespace pkgtool

#endif
