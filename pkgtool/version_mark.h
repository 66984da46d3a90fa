// What a stub carries in its bytes for pkgtool to read back: its version
// (its mark, trell_version.h, followed by the version text and a NUL) and
// the static libraries linked into it (TRELL_LIBRARIES_MARK, followed by
// their list and a NUL; cmake/stub_libraries.cmake writes it).
#ifndef PKGTOOL_VERSION_MARK_H
#define PKGTOOL_VERSION_MARK_H

#include <cstddef>
#include <string>
#include <vector>

namespace pkgtool {

// The longest version text taken after a mark.
constexpr size_t VERSION_TEXT_MAX = 32;
// The longest list of libraries taken after their mark.
constexpr size_t LIBRARIES_TEXT_MAX = 1024;

// The mark a stub of the element carries (launcher, unzip utility), or
// nullptr for other elements.
const char *versionMarkOf(int element);

// The version after the first occurrence of mark that is followed by 1 to
// VERSION_TEXT_MAX printable ASCII characters (no blank) and a NUL.  Result: the
// version, or "" when there is none.
std::string findVersion(const unsigned char *data, size_t size, const char *mark);

// A static library that a stub records.  Empty fields are those the build
// could not tell.
struct StubLibrary {
    std::string name;          // "musl"
    std::string version;       // upstream's, "1.2.3"
    std::string debPackage;    // the Debian package it came from, "musl-dev"
    std::string debVersion;    // "1.2.3-1"
    std::string debArchitecture; // "amd64", or "source" for a source package
};

// The libraries after the first occurrence of TRELL_LIBRARIES_MARK that is
// followed by 1 to LIBRARIES_TEXT_MAX printable ASCII characters and a NUL,
// and whose text is a list of them.  Result: true with libraries filled, or
// false when the stub records none (a stub of another origin, or a
// dynamic build).
bool findLibraries(const unsigned char *data, size_t size, std::vector<StubLibrary> &libraries);

} // namespace pkgtool

#endif
