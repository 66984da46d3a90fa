// verify --sbom: a bill of materials checked against the package it names.
// The package's own document is made again (bom_document.h) and compared
// with the given one, component by component (by bom-ref), field by field,
// so that each difference is named: a file missing or added, a SHA-256, a
// mode, a version that differs.  Formatting and member order do not count,
// nor does the tool that wrote the document (metadata.tools).  A time stamp
// that the document says came from SOURCE_DATE_EPOCH is taken as it is; one
// from the image must be the image's.
#ifndef PKGTOOL_BOM_COMPARE_H
#define PKGTOOL_BOM_COMPARE_H

#include <string>
#include <vector>

namespace pkgtool {

// Compares the document in the file document with the package at path's.
// Result: true with each difference in differences (none: it matches), or
// false with the problem that kept them from being compared in error (a
// document that is no JSON, a package without a document).
bool compareBom(const std::string &path, const std::string &document,
                std::vector<std::string> &differences, std::string &error);

} // namespace pkgtool

#endif
