// Where pkgtool finds the stubs it packs by default (the launcher, the
// unzip utility and their variants): in the build tree beside pkgtool, in
// an installed tree in the stub folder relative to pkgtool's own folder.
#ifndef PKGTOOL_STUB_PATH_H
#define PKGTOOL_STUB_PATH_H

#include <string>

namespace pkgtool {

// The stub folder as seen from pkgtool's folder ("../lib/trell").
extern const char *const STUB_DIR_FROM_BIN;

// The path of the stub called name: beside the running pkgtool, else in
// STUB_DIR_FROM_BIN relative to it; the first regular file found wins.
// Result: the path, or "" when neither place holds the file.
std::string findStub(const std::string &name);

// The same, searching from the folder of a given executable path.
std::string findStubFrom(const std::string &self, const std::string &name);

} // namespace pkgtool

#endif
