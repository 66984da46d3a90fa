// The two executables a package starts with, the launcher stub and the
// unzip utility, come in a build for each architecture of
// common/architectures.txt (a stub set).  Which set a package rides on
// decides which hosts it reaches: the x86-64 set runs on every x86-64 host
// and on no 32-bit x86 host; the i386 set runs on both, given 32-bit
// support on the x86-64 ones; the others each on hosts of their own kind.
#ifndef PKGTOOL_STUBS_H
#define PKGTOOL_STUBS_H

#include <string>
#include <vector>

#include "hostneeds.h"

namespace pkgtool {

struct StubSet {
    std::string name;     // as build's --stubs takes it
    std::string launcher; // file names beside pkgtool
    std::string unzip;
};

// The default set, the table's first (x86-64): "launcher" and "tunzip".
const StubSet &defaultStubSet();

// The set called name ("x86-64", "i386", ...), or nullptr when there is none.
const StubSet *findStubSet(const std::string &name);

// "x86-64, i386, ...": the names findStubSet knows, for messages.
std::string stubSetNames();

// For an image pair whose launcher or unzip utility is an x86-64
// executable, adds the warning that its x86 image can never run.  Nothing
// for a single image, or for an executable whose headers cannot be read.
void reportImagePairStubs(const std::vector<ExecutableFacts> &facts, bool imagePair,
                          std::vector<std::string> &warnings);

// Adds a warning for each record whose architecture can never be the host
// of the launcher (facts[0], element 0), such as an x86-64 record on an
// AArch64 launcher, and for an image pair on a launcher that no x86 host
// runs (the launcher unpacks a pair only on x86 hosts).  Nothing for a
// launcher whose headers cannot be read or whose machine no code names.
void reportRecordHosts(const std::vector<ExecutableFacts> &facts,
                       const std::vector<Record> &records, bool imagePair,
                       std::vector<std::string> &warnings);

} // namespace pkgtool

#endif
