// Zip images read the way the package's unzip utility will see them: their
// entries, their soundness, their unpacking.  Reading goes through the
// common strict reader (common/zipread.h), as the unzip utility reads: an
// archive it refuses is refused here too.
#ifndef PKGTOOL_ZIPCHECK_H
#define PKGTOOL_ZIPCHECK_H

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

// The first of the problems, and how many more there are.
std::string problemSummary(const std::vector<std::string> &problems);

// How many bytes at the end of an archive the unzip utility takes for its
// directory: the central directory and the end records, from the central
// directory's first byte on.  0 for an archive it refuses.
uint32_t zipDirectoryBytes(const std::vector<unsigned char> &zip);

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
