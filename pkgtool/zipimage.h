// Zip images written from a folder: reproducibly, and only of what was
// scanned.  Images are read with zipcheck.h.
#ifndef PKGTOOL_ZIPIMAGE_H
#define PKGTOOL_ZIPIMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace pkgtool {

// The DOS time stamp written into every entry of a zipped folder.
struct DosTime {
    uint16_t time = 0;
    uint16_t date = 0;
};

// SOURCE_DATE_EPOCH, seconds since 1970 (UTC).  Result: true with set
// false when it is unset or empty, or set true and seconds filled; false
// with the problem in error when it is no such number (up to 2^40).
bool sourceDateEpoch(bool &set, int64_t &seconds, std::string &error);

// The time stamp from SOURCE_DATE_EPOCH (seconds since 1970, taken as UTC),
// or 1980-01-01 00:00:00 when it is unset or empty; times before 1980 give
// 1980-01-01.  Result: true, or false with the problem in error.
bool imageTimeStamp(DosTime &stamp, std::string &error);

// Zips the folder's files and folders, sorted by name, every entry with the
// given time and a fixed mode (0755 for folders and for files their owner
// may execute, else 0644), no extra fields.  Symbolic links, special files
// and paths deeper than ZIP_MAX_DEPTH are refused.  It packs only what it
// scanned: a file or folder swapped for another object, or changed, while
// the image is built fails it, naming the path.  Result: true, or false
// with the problem in error.
bool zipFolder(const std::string &folder, DosTime stamp, std::vector<unsigned char> &zip,
               std::string &error);

// What makes an entry name unfit for an image (it would land outside the
// unpacking folder, or under a wrong name), or "".
std::string entryNameProblem(const std::string &name);

} // namespace pkgtool

#endif
