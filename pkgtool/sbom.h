// pkgtool sbom: a package's bill of materials (bom_document.h) on standard
// output or into a file; build --sbom writes it the same way.
#ifndef PKGTOOL_SBOM_H
#define PKGTOOL_SBOM_H

#include <string>

namespace pkgtool {

// Writes the bill of materials of the package at path into output, stamped
// as SOURCE_DATE_EPOCH says: under a unique name beside it, renamed over it
// when whole (an existing output must be a regular file).  Result: "", or
// the problem, output then untouched.
std::string writeBomFile(const std::string &path, const std::string &output);

} // namespace pkgtool

#endif
