// Names and texts from packages, images and files shown on one line of
// pkgtool's output: command records, image entries, ELF names, comments.
#ifndef PKGTOOL_PRINTABLE_H
#define PKGTOOL_PRINTABLE_H

#include <string>

namespace pkgtool {

// The name with control characters written as \xHH, to fit one line.
std::string printableName(const std::string &name);

} // namespace pkgtool

#endif
