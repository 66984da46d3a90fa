// The two executables a package starts with, the launcher stub and the
// unzip utility, come in builds for x86-64 and for i386.  Which set a
// package rides on decides which hosts it reaches: the x86-64 set runs on
// every x86-64 host and on no 32-bit x86 host; the i386 set runs on both,
// given 32-bit support on the x86-64 ones.
#ifndef PKGTOOL_STUBS_H
#define PKGTOOL_STUBS_H

#include <string>
#include <vector>

#include "hostneeds.h"

namespace pkgtool {

struct StubSet {
    const char *name;     // as build's --stubs takes it
    const char *launcher; // file names beside pkgtool
    const char *unzip;
};

// The default set, x86-64: "launcher" and "tunzip".
const StubSet &defaultStubSet();

// The set called name ("x86-64" or "i386"), or nullptr when there is none.
const StubSet *findStubSet(const std::string &name);

// "x86-64, i386": the names findStubSet knows, for messages.
std::string stubSetNames();

// For an image pair whose launcher or unzip utility is an x86-64
// executable, adds the warning that its x86 image can never run.  Nothing
// for a single image, or for an executable whose headers cannot be read.
void reportImagePairStubs(const std::vector<ExecutableFacts> &facts, bool imagePair,
                          std::vector<std::string> &warnings);

} // namespace pkgtool

#endif
