// Zip images: zipping a folder reproducibly, and reading an image (entries,
// soundness, unpacking) the way the package's unzip utility will see it.
#ifndef PKGTOOL_ZIPIMAGE_H
#define PKGTOOL_ZIPIMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace pkgtool {

class Progress;

struct ZipEntry {
    std::string name;   // as stored (raw bytes), folders end in '/'
    uint64_t size = 0;  // unpacked
    uint64_t compressedSize = 0;
    uint16_t method = 0;
    bool folder = false;
    bool executable = false; // Unix mode bits say so
};

// The DOS time stamp written into every entry of a zipped folder.
struct DosTime {
    uint16_t time = 0;
    uint16_t date = 0;
};

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

// The name with control characters written as \xHH, to fit one line.
std::string printableName(const std::string &name);

// Reading goes through the common strict reader (common/zipread.h), as the
// unzip utility reads: an archive it refuses is refused here too.

// The first of the problems, and how many more there are.
std::string problemSummary(const std::vector<std::string> &problems);

// Lists the zip's entries.  Result: true, or false with the problem in error.
bool listZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
             std::string &error);

// Checks a zip as the unpacking needs it: accepted by the reader (one
// reading, safe names, plain files and folders, stored or deflated, not
// encrypted), and every entry's data matching its CRC.  Appends one
// line per problem; entries is filled as far as the archive could be read.
// progress, when given, follows the entries checked.
void checkZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
              std::vector<std::string> &problems, Progress *progress = nullptr);

// Unpacks the zip into the folder (created if missing, its parent must
// exist; an existing one only when trusted, see zipOpenTarget) as the unzip
// utility does, after checking it whole.  Nothing is written outside it,
// and no symbolic link in it is followed.  Result: true, or false with the
// problem in error.
bool unpackZip(const std::vector<unsigned char> &zip, const std::string &folder,
               std::string &error);

} // namespace pkgtool

#endif
