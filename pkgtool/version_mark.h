// The version a stub carries: its mark (trell_version.h) followed by the
// version text and a NUL, somewhere in its bytes.
#ifndef PKGTOOL_VERSION_MARK_H
#define PKGTOOL_VERSION_MARK_H

#include <cstddef>
#include <string>

namespace pkgtool {

// The longest version text taken after a mark.
constexpr size_t VERSION_TEXT_MAX = 32;

// The mark a stub of the element carries (launcher, unzip utility), or
// nullptr for other elements.
const char *versionMarkOf(int element);

// The version after the first occurrence of mark that is followed by 1 to
// VERSION_TEXT_MAX printable ASCII characters (no blank) and a NUL.  Result: the
// version, or "" when there is none.
std::string findVersion(const unsigned char *data, size_t size, const char *mark);

} // namespace pkgtool

#endif
