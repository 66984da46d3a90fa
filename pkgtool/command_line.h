// What pkgtool's commands share on the command line: the usage error, the
// split of a command's arguments, the lines reported about a package, and
// the image archives list and unpack work on.
#ifndef PKGTOOL_COMMAND_LINE_H
#define PKGTOOL_COMMAND_LINE_H

#include <initializer_list>
#include <string>
#include <vector>

#include "package_file.h"

namespace pkgtool {

// Prints the message and a pointer to --help on standard error.
// Result: 2, the status of bad usage.
int usageError(const std::string &message);

// An option that takes a value, and where its values go: each use of it
// adds one.
struct ValueOption {
    const char *name;
    std::vector<std::string> *values;
};

// Takes the options given, each with the argument after it, out of argv
// (one without a value stays).  Result: the other arguments, in order.
std::vector<char *> takeValueOptions(int argc, char **argv,
                                     std::initializer_list<ValueOption> options);

// Splits a command's arguments into positional ones and the value of
// --arch / the --json flag (each only when its pointer is given).
// Result: true, or false with the unexpected option named in error.
bool parseArgs(int argc, char **argv, std::vector<std::string> &positional,
               std::string *arch, bool *json, std::string &error);

// Prints each line as "pkgtool: PATH: KIND LINE" on standard error; kind
// is "" for problems, "warning: " for warnings.
void reportLines(const std::string &path, const std::vector<std::string> &lines,
                 const char *kind = "");

// The arguments of list or unpack (command): count positional ones, the
// first the package, and --arch; then the image archives it works on: all,
// or the one of a pair for the architecture given (a single image serves
// every architecture).  A package that info finds faulty, and the launcher
// refuses, shows no image: the same lines as info say why.  takes says
// what the command takes, for a usage error.  Result: true, or false with
// the exit status in status (its message printed).
bool chooseImages(const std::string &command, int argc, char **argv, size_t count,
                  const std::string &takes, std::vector<std::string> &args,
                  std::vector<ImagePart> &parts, int &status);

// Reads one archive of the package.  Result: true, or false with the
// problem printed.
bool loadPart(const std::string &path, const ImagePart &part, std::vector<unsigned char> &zip);

} // namespace pkgtool

#endif
