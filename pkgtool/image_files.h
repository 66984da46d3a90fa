// The files of a package's image archive, read in bounded memory for the
// bill of materials: the archive is mapped from the package file rather
// than read, each entry's data is decoded by the checking decoder (large
// entries streamed) and hashed as it comes, and the pages read are given
// back as the walk goes on.  Memory so stays that of the decoder and the
// zip directory, whatever the image's size.
#ifndef PKGTOOL_IMAGE_FILES_H
#define PKGTOOL_IMAGE_FILES_H

#include <cstdint>
#include <functional>
#include <string>

#include "package_file.h"
#include "package_record.h"

namespace pkgtool {

// One file of an image as the unzip utility unpacks it.
struct ImageFile {
    std::string name;        // its path
    uint64_t size = 0;       // unpacked
    bool executable = false; // the unzip utility writes it 0755, else 0644
    Sha256 sha256 = {};      // of its unpacked bytes
};

// The newest time stamp among the entries of the archive part of the
// package at path: the DOS date and time of their directory entries, read
// as UTC (as pkgtool build writes them), in seconds since 1970.  Entries
// whose stamp is no valid time are passed over.  Result: true with found
// telling whether any was valid and newest set, or false with the problem
// in error.
bool newestEntryTime(const std::string &path, const ImagePart &part, bool &found,
                     int64_t &newest, std::string &error);

// Calls each for every file (folders aside) of the archive part of the
// package at path, in the order of the zip directory, with its SHA-256,
// until each returns false.  Result: "" (also when each stopped it), or the
// problem (an archive the reader refuses, an entry whose data does not
// match its CRC, a read failure).
std::string forEachImageFile(const std::string &path, const ImagePart &part,
                             const std::function<bool(const ImageFile &)> &each);

} // namespace pkgtool

#endif
