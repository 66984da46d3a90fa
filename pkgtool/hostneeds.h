// What a package asks of the host beyond a kernel and a shell: the program
// interpreter, shared libraries and glibc version of its two executables,
// the launcher (element 0) and the unzip utility (element 1).  Shown by
// build, verify and info.
#ifndef PKGTOOL_HOSTNEEDS_H
#define PKGTOOL_HOSTNEEDS_H

#include <string>
#include <vector>

#include "elfinfo.h"
#include "package_file.h"
#include "version_mark.h"

namespace pkgtool {

struct ExecutableFacts {
    int element = 0;      // PKG_ELEM_LAUNCHER or PKG_ELEM_UNZIP
    bool elf = false;     // begins with the ELF magic
    std::string problem;  // why the headers could not be read, "" when info holds them
    ElfInfo info;
    std::string version;  // after the element's version mark, "" when none
    bool librariesRecorded = false; // it carries a library mark
    std::vector<StubLibrary> libraries; // the static libraries the mark names
};

// "element 0 (the launcher)", "element 1 (the unzip utility)".
std::string executableName(int element);

// The facts of one executable's bytes, its version and libraries included.
ExecutableFacts executableFacts(int element, const unsigned char *data, size_t size);

// The facts of a located package's elements 0 and 1, in that order.  A
// read failure of the file is the problem of the element concerned.
std::vector<ExecutableFacts> packageExecutables(const std::string &path, const Package &pkg);

// Adds what the executables' facts mean for the package: the warning that
// it runs only on hosts with the interpreter, libraries and glibc a dynamic
// one needs, and for an ELF file whose headers cannot be followed, its
// problem (to problems when given, else as a warning).  A file that is no
// ELF at all is left to the caller's own checks.
void reportHostNeeds(const std::vector<ExecutableFacts> &facts,
                     std::vector<std::string> *problems, std::vector<std::string> &warnings);

// One line for info: "ELF64 x86-64, static", or the dynamic needs.
std::string describeExecutable(const ExecutableFacts &facts);

} // namespace pkgtool

#endif
