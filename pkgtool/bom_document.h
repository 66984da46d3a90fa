// A package's bill of materials: a CycloneDX 1.5 JSON document derived from
// the package file alone, so that anyone holding the package can make it
// again and compare.  The same package and time stamp give the same bytes.
//
//   metadata.component   the package: its file name, SHA-256, size and the
//                        platforms of its records
//   components           the launcher and the unzip utility (each with its
//                        version mark, SHA-256, machine, and the static
//                        libraries it records as components of its own);
//                        each image archive (one, or the two of a pair) with
//                        every file it unpacks to (path, size, SHA-256,
//                        mode) as its components; the signature block, when
//                        the package carries one (key ID, trusted comment)
//
// Files are written as they are hashed, so that an image of any size and
// entry count needs no more memory than its zip directory.
#ifndef PKGTOOL_BOM_DOCUMENT_H
#define PKGTOOL_BOM_DOCUMENT_H

#include <cstdint>
#include <functional>
#include <string>

namespace pkgtool {

// The document's time stamp: SOURCE_DATE_EPOCH's when the environment sets
// it, else the newest time among the image's entries (their zip directory
// entries' DOS times, read as UTC), else 1980-01-01T00:00:00Z.  No clock
// is read.
struct BomTime {
    bool fromEnvironment = false; // seconds holds SOURCE_DATE_EPOCH's
    int64_t seconds = 0;
};

// The value of the metadata property that says where the stamp came from
// (trell:timestamp-source): "SOURCE_DATE_EPOCH" or "image".
constexpr const char *BOM_STAMP_FROM_ENVIRONMENT = "SOURCE_DATE_EPOCH";
constexpr const char *BOM_STAMP_PROPERTY = "trell:timestamp-source";

// The time stamp as SOURCE_DATE_EPOCH gives it.  Result: true with time
// filled (fromEnvironment false when it is unset), or false with the
// problem in error.
bool bomTimeFromEnvironment(BomTime &time, std::string &error);

// Takes each piece of the document's text in order.  Result: true, or
// false to stop the writing.
using BomSink = std::function<bool(const std::string &text)>;

// Writes the document of the package at path to sink.  Result: "", or the
// problem (a package that is not sound, an image archive that the unzip
// utility refuses or whose data is damaged, a read failure, or "cannot
// write" when sink stopped it); sink has then had part of it.
std::string writeBom(const std::string &path, const BomTime &time, const BomSink &sink);

} // namespace pkgtool

#endif
